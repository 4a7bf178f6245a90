# Shortcuts for the scripts in scripts/ (which also install what is missing).
.PHONY: all demo test package clean
all:
	cmake --preset release && cmake --build --preset release
demo:
	bash scripts/demo.sh
test:
	bash scripts/test.sh
package:
	bash scripts/package.sh
clean:
	rm -rf build

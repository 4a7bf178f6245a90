# Sourced by the binary checks: which C library versions core.so may need.
# The ceiling is the newest symbol version it may ever import; the README's
# "Installing on a server" states the oldest C library it loads on (the floor),
# which must cover everything imported.

GLIBC_CEILING=2.17

# The newest GLIBC_ symbol version the object imports.
newest_glibc() {
  readelf -V "$1" | grep -o 'Name: GLIBC_[0-9.]*' | sed 's/Name: GLIBC_//' | sort -V | tail -n 1
}

# True when version $1 is no newer than version $2.
version_at_most() {
  [ "$(printf '%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]
}

# The floor as the README states it: "C library (version X or later".
stated_glibc_floor() {
  sed -n 's/.*C library (version \([0-9.]*\) or later.*/\1/p' "$1" | head -n 1
}

#!/usr/bin/env bash
# Mutation testing of the product lines changed since BASE (by default the
# commit of the previous release): each mutant is one small fault planted in
# one changed line of a scratch copy of the tree (build/mutate/w*/src, never
# the working tree), rebuilt incrementally and run against the CTest entries
# that reach its file (scripts/mutate.map). A mutant that no entry fails
# survived. Two workers, each with its own copy, share the mutants.
#
#   mutate.sh [--max N] [--seed S] [--path PREFIX] [--list] [--rerun FILE] [BASE]
#
#   --max N        a reproducible sample of N mutants (drawn with --seed, 1 by default)
#   --path PREFIX  only the files whose path starts with PREFIX
#   --list         print the mutants without building or running anything
#   --rerun FILE   only the mutants an earlier run's output FILE lists as survivors
#
# Prints "SURVIVED file:line: original -> mutated" for each survivor, and last
# "N mutants, K killed (P%)". Mutants that do not compile are counted apart.
# Lines marked for coverage as unreachable (GCOVR_EXCL_*) are not mutated.
# Environment: MUTATE_WORKERS (2; one per 20 mutants at most), MUTATE_JOBS
# (build and test jobs of a worker, nproc / workers), MUTATE_TIMEOUT (seconds
# an entry may take on the unmutated tree, 300).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'PY'
import argparse, fcntl, os, random, re, shutil, signal, subprocess, sys, threading, time

ROOT = os.getcwd()
WORK = os.path.join(ROOT, "build", "mutate")
PRODUCT = ["plugin", "amx", "raknet", "http", "util", "include", "scripts/setup.sh"]
WORKERS = int(os.environ.get("MUTATE_WORKERS", "2"))
JOBS = os.environ.get("MUTATE_JOBS", str(max(1, (os.cpu_count() or 2) // WORKERS)))
TIMEOUT = int(os.environ.get("MUTATE_TIMEOUT", "300"))

# The operators. Each is (pattern, replacement) over a line's code (strings
# and comments masked); every match makes one mutant. C++ binary operators are
# matched with the spaces the formatter puts around them, so template angle
# brackets, shifts and arrows stay apart.
CPP = [
    (r" < ", " <= "), (r" <= ", " < "), (r" > ", " >= "), (r" >= ", " > "),
    (r" == ", " != "), (r" != ", " == "), (r" && ", " || "), (r" \|\| ", " && "),
    (r" \+ ", " - "), (r" - ", " + "), (r" \+= ", " -= "), (r" -= ", " += "),
    (r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)(?=[uUlL]*\b)(?!\.)", "CONST"),
    (r"\b(if|while) \(", "NEGATE"),
    (r"^(\s*)return (?!;).*;", "RETURN"),
    (r"^(\s*)(\*?[\w.]+(\[[^]]*\])?(->\w+)*\s*([-+|&]?=(?!=)|\+\+|--)|[\w:.>-]+\().*;\s*$", "DROP"),
]
SHELL = [
    (r"(?<![!\w])(\[\[? )", "! \\1"), (r"\bif (?!!)", "if ! "),
    (r" && ", " || "), (r" \|\| ", " && "),
    (r"^(\s*)(local )?\w+=.*$", "DROP"), (r"^(\s*)return\b.*$", "DROP"),
    (r"^(\s*)(?!(if|then|else|elif|fi|for|do|done|case|esac|while|return|local)\b)[a-z_][\w-]*( [^=(]*)?$", "DROP"),
    (r" --?[a-zA-Z][\w-]*(=\S*)?(?=\s|$)", ""),
]


def git(*args):
    return subprocess.run(["git", *args], check=True, capture_output=True, text=True).stdout


def previous_release():
    # The release before the work measured: the newest released version in
    # the changelog, or the one before it when nothing is left unreleased.
    log = open("CHANGELOG.md").read()
    versions = re.findall(r"^## (\d+\.\d+\.\d+) \(", log, re.M)
    index = 0 if re.search(r"^## Unreleased$", log, re.M) else 1
    if len(versions) <= index:
        sys.exit("mutate: no previous release in CHANGELOG.md: name a BASE")
    pattern = r"project\(core VERSION %s\b" % re.escape(versions[index])
    found = git("log", "--reverse", "--format=%H", "-G", pattern, "--", "CMakeLists.txt").split()
    if not found:
        sys.exit("mutate: no commit sets %s: name a BASE" % pattern)
    return found[0]


def changed_lines(base):
    lines = {}
    current = None
    for row in git("diff", "-U0", "--no-color", "--no-ext-diff", base, "--", *PRODUCT).splitlines():
        if row.startswith("+++ "):
            current = row[6:] if row != "+++ /dev/null" else None
        elif row.startswith("@@") and current:
            start, _, count = re.search(r"\+(\d+)(,(\d+))?", row).groups()
            count = 1 if count is None else int(count)
            lines.setdefault(current, set()).update(range(int(start), int(start) + count))
    for path in git("ls-files", "--others", "--exclude-standard", "--", *PRODUCT).split():
        lines[path] = set(range(1, 1 + len(open(path).read().splitlines())))
    return lines


def masked(code, shell):
    # Blanks string contents and cuts the comment, keeping positions.
    out, quote, i = [], None, 0
    while i < len(code):
        c = code[i]
        if quote:
            if c == "\\" and i + 1 < len(code):
                out.append("__"); i += 2; continue
            out.append(c if c == quote else "_")
            quote = None if c == quote else quote
        elif c in "\"'":
            quote = c; out.append(c)
        elif (shell and c == "#" and (i == 0 or code[i - 1] in " \t")) or code.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def negate(line, end):
    depth, i = 1, end
    while i < len(line) and depth:
        depth += {"(": 1, ")": -1}.get(line[i], 0)
        i += 1
    return None if depth else line[:end] + "!(" + line[end:i - 1] + "))" + line[i:]


def mutants_of_line(line, shell, previous):
    # A line that continues or opens a multi-line statement is not dropped.
    code = masked(line, shell)
    ends_open = lambda text: re.search(r"[,(=&|+?<\\-]\s*$", text)
    continued = bool(ends_open(masked(previous, shell)) or ends_open(code))
    # Comments, preprocessor lines, compile-time checks and lines marked as
    # unreachable are left alone.
    if not code.strip() or (not shell and re.match(r"\s*(#|\*|/\*|}|static_assert)", code)) or "GCOVR_EXCL" in line:
        return []
    found = []
    for pattern, replacement in SHELL if shell else CPP:
        for m in re.finditer(pattern, code):
            a, b = m.span()
            if replacement == "CONST":
                hexadecimal = m.group(1)[:2] in ("0x", "0X")
                value = int(m.group(1), 16 if hexadecimal else 10)
                shown = lambda v: ("0x%X" if hexadecimal else "%d") % v
                new = [] if code.lstrip().startswith("template") else [line[:a] + shown(value + 1) + line[b:]]
            elif replacement == "NEGATE":
                new = [negate(line, b)]
            elif replacement == "RETURN":
                value = line[m.end(1) + 7:b - 1]
                other = {"true": "false", "false": "true", "0": "1"}.get(value, "0")
                new = [line[:m.end(1)] + "return " + other + ";" + line[b:]]
            elif replacement == "DROP":
                new = [] if continued else [m.group(1) + (":" if shell else ";")]
            elif shell and re.fullmatch(r" -(eq|ne|lt|le|gt|ge|[nzfdeo])", m.group(0)):
                new = []  # a test's operator, not an option
            else:
                new = [line[:a] + m.expand(replacement) + line[b:]]
            found += [n for n in new if n and n != line]
    return list(dict.fromkeys(found))


def all_mutants(base):
    result = []
    for path, numbers in sorted(changed_lines(base).items()):
        if not re.search(r"\.(cpp|h|c|sh)$", path):
            continue
        text = open(path).read().splitlines()
        shell, in_comment, excluded, previous = path.endswith(".sh"), False, False, ""
        for number, line in enumerate(text, 1):
            was_comment = in_comment
            if not shell:
                in_comment = (in_comment or "/*" in line) and "*/" not in line
            else:  # the elements of a shell array written over several lines are words, not commands
                in_comment = (in_comment or bool(re.search(r"=\($", line))) and not line.lstrip().startswith(")")
            excluded = (excluded or bool(re.search(r"GCOVR_EXCL(_BR)?_START", line))) and not re.search(
                r"GCOVR_EXCL(_BR)?_STOP", line)
            if number in numbers and not was_comment and not excluded:
                result += [(path, number, line, m) for m in mutants_of_line(line, shell, previous)]
            if masked(line, shell).strip():
                previous = line
    return result


# scripts/mutate.map's rows: a path prefix, then its CTest entries.
MAP = [fields for fields in (row.split("#")[0].split() for row in open("scripts/mutate.map")) if fields]


def entries_for(path):
    names = []
    for prefix, *entries in MAP:
        if path.startswith(prefix):
            names += [name for name in entries if name not in names]
    return names


def run(command, timeout):
    # The exit status, or None when the time ran out (the whole process group
    # is ended: a hung test program must not outlive its mutant).
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return None


def sync_scratch(home):
    # The working tree's files (tracked, or untracked and not ignored) into a
    # scratch copy, touching only those that differ so its builds stay warm.
    for path in git("ls-files", "-co", "--exclude-standard").splitlines():
        source, target = os.path.join(ROOT, path), os.path.join(home, "src", path)
        if os.path.isfile(source) and not (os.path.exists(target) and open(source, "rb").read() == open(target, "rb").read()):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy(source, target)  # stamped now, so the build sees it changed


# Two builds of each scratch copy, as CI tests it: the release build, and the
# sanitizer build, which also catches a mutant that writes past a buffer.
# A mutant is run on the second only when it survives the first.
BUILDS = {"release": ["-DCMAKE_BUILD_TYPE=Release"],
          "sanitize": ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCORE_SANITIZE=ON"]}


def build(home, name, jobs=None):
    folder, source = os.path.join(home, name), os.path.join(home, "src")
    if not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", *BUILDS[name],
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake/i386-linux-gnu.cmake"),
                        "-DCORE_BENCH=OFF", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"], check=True, stdout=subprocess.DEVNULL)
    return run(["cmake", "--build", folder, "-j", jobs or JOBS], 1200)


def ctest(home, name, entry, timeout):
    return run(["ctest", "--test-dir", os.path.join(home, name), "-j", JOBS, "--no-tests=ignore",
                "-R", "^(%s)(_soak)?$" % entry], timeout)


def outcome(home, mutant, limit):
    # None: it does not compile; else whether it survived. Cheapest entries
    # first; the first that fails (or hangs) kills it.
    path, number, _, text = mutant
    target = os.path.join(home, "src", path)
    original = open(target).read()
    lines = original.split("\n")
    lines[number - 1] = text
    open(target, "w").write("\n".join(lines))
    try:
        for name in BUILDS:
            if build(home, name) != 0:
                return None
            if not all(ctest(home, name, entry, limit[name, entry]) == 0 for entry in entries_for(path)):
                return False
        return True
    finally:
        open(target, "w").write(original)


def main():
    parser = argparse.ArgumentParser(prog="mutate.sh")
    parser.add_argument("--max", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--path", default="", help="only files whose path starts with this")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--rerun", help="only the mutants this earlier output lists as SURVIVED")
    parser.add_argument("base", nargs="?")
    args = parser.parse_args()
    base = args.base or previous_release()
    mutants = [m for m in all_mutants(base) if m[0].startswith(args.path)]
    if args.rerun:  # matched by file and text, so that lines moved since still match
        wanted = set(re.findall(r"^SURVIVED ([^:]+):\d+: (.*)$", open(args.rerun).read(), re.M))
        mutants = [m for m in mutants if (m[0], "%s -> %s" % (m[2].strip(), m[3].strip())) in wanted]
    if args.max is not None and args.max < len(mutants):
        mutants = sorted(random.Random(args.seed).sample(mutants, args.max), key=lambda m: m[:2])
    print("mutate: %d mutants of the product lines changed since %s" % (len(mutants), git("rev-parse", "--short", base).strip()), flush=True)
    if args.list:
        for path, number, line, mutant in mutants:
            print("%s:%d: %s -> %s" % (path, number, line.strip(), mutant.strip()))
        return
    os.makedirs(WORK, exist_ok=True)
    lock_file = open(os.path.join(WORK, "lock"), "w")
    try:
        fcntl.flock(lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit("mutate: another run is using %s" % WORK)
    homes = [os.path.join(WORK, "w%d" % k) for k in range(min(WORKERS, max(1, len(mutants) // 20)))]
    for home in homes:
        sync_scratch(home)
        for name in BUILDS:
            if build(home, name, str(os.cpu_count() or 2)) != 0:
                sys.exit("mutate: the unmutated tree does not build in %s" % os.path.join(home, name))
    # Each entry's time limit: four times its unmutated run, at least 20 s.
    limit = {}
    for name in BUILDS:
        for entry in dict.fromkeys(e for m in mutants for e in entries_for(m[0])):
            began = time.time()
            if ctest(homes[0], name, entry, TIMEOUT) != 0:
                sys.exit("mutate: the unmutated tree fails %s: run ctest in %s" % (entry, os.path.join(homes[0], name)))
            limit[name, entry] = max(20.0, 4 * (time.time() - began))
    started, pending, lock = time.time(), list(reversed(mutants)), threading.Lock()
    results = {True: 0, False: 0, None: 0}

    def work(home):
        while True:
            with lock:
                if not pending:
                    return
                mutant = pending.pop()
            result = outcome(home, mutant, limit)
            with lock:
                results[result] += 1
                if result:
                    path, number, line, text = mutant
                    print("SURVIVED %s:%d: %s -> %s" % (path, number, line.strip(), text.strip()), flush=True)

    threads = [threading.Thread(target=work, args=(home,)) for home in homes]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for home in homes:
        for name in BUILDS:
            build(home, name)
    tried, killed = results[True] + results[False], results[False]
    print("mutate: %d did not compile (not counted); %d workers, %.0f s" % (results[None], len(homes), time.time() - started))
    print("%d mutants, %d killed (%.0f%%)" % (tried, killed, 100.0 * killed / tried if tried else 0.0))


main()
PY

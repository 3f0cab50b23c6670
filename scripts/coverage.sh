#!/usr/bin/env bash
# What each Wine-side test program reaches of the product. Builds the test variant with --coverage in a
# build folder of its own, runs each test program alone (through CTest, in a Wine session of its own, so
# that the services and programs it starts count for it too), and prints, per program, the product lines
# (src/) that no other program reaches, then a summary. --by-case does the same per test case: each case
# runs alone, through the same command CTest uses, with --gtest_filter.
#   scripts/coverage.sh [--by-case] [BUILD_FOLDER] [-- PROGRAM...]
# BUILD_FOLDER defaults to build/coverage; PROGRAMs (CTest names, such as ui_tests) default to every
# program that runs under Wine. The counts of each program stay in BUILD_FOLDER/coverage/PROGRAM/ (of each
# case in BUILD_FOLDER/coverage-cases/PROGRAM/CASE/), the report in report.txt beside them.
#
# How the counts get out of Wine: a program built with --coverage writes one .gcda file per object file
# when it exits normally (a process that is killed writes nothing), at the object's path as compiled, an
# absolute Linux path. Wine 8 opens a path that starts with "/" as that Linux path, whatever the current
# folder (measured: a test program started in C:\windows wrote beside the objects), so the files are
# written without help; but then the counts of every program pile up in the build tree. GCOV_PREFIX
# (written as Z:/..., Wine's drive Z: being the Linux root) and GCOV_PREFIX_STRIP (the depth of the build
# folder) send each count file to BUILD_FOLDER/gcda/ instead, laid out as the objects are, and the script
# moves that folder away after each program. Wine's service manager, which starts the services under
# test, and every process it starts take their environment from the Wine session's first process: the
# variables are set before the session starts. A count file found beside the objects afterwards comes
# from a process that missed them, and is reported. The gcov runtime merges the files of concurrent
# processes under a lock.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
by_case=0
if [ "${1:-}" = --by-case ]; then by_case=1; shift; fi
build=$root/build/coverage
if [ $# -gt 0 ] && [ "$1" != -- ]; then build=$(mkdir -p "$1" && cd "$1" && pwd); shift; fi
[ "${1:-}" = -- ] && shift
programs=("$@")

# The Release build (its programs stripped, as the update tests' check of a release expects), unoptimised
# so that each line counts for itself.
cmake -S . -B "$build" -G Ninja --toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS_RELEASE="-O0 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O0 -DNDEBUG" >/dev/null
cmake --build "$build"

out=$build/coverage
[ $by_case = 0 ] || out=$build/coverage-cases
gcda=$build/gcda
mkdir -p "$out"
export GCOV_PREFIX="Z:$build/gcda"
GCOV_PREFIX_STRIP=$(($(tr -cd / <<<"$build" | wc -c)))
export GCOV_PREFIX_STRIP
export CALMLANE_BUILD=$build
trap 'scripts/wine-env down "$build" >/dev/null 2>&1 || true' EXIT
# Wine's service manager gives each service a fresh environment (CreateEnvironmentBlock: the system's
# variables from the registry), not its own: the variables go there too, in the prefix's registry.
scripts/wine-env up "$build" >/dev/null
for variable in GCOV_PREFIX GCOV_PREFIX_STRIP; do
  scripts/wine-run reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v $variable \
    /d "${!variable}" /f >/dev/null
done
scripts/wine-env down "$build"

# The Wine-side test programs and the command CTest runs for each.
ctest --test-dir "$build" --show-only=json-v1 >"$out/tests.json"
mapfile -t all < <(python3 - "$out/tests.json" <<'EOF'
import json, sys
for test in json.load(open(sys.argv[1]))["tests"]:
    properties = {p["name"]: p["value"] for p in test.get("properties", [])}
    if "wine" in properties.get("FIXTURES_REQUIRED", []):
        print(test["name"])
EOF
)
[ ${#programs[@]} -gt 0 ] || programs=("${all[@]}")

# Moves the counts written so far to $1.
collect() {
  rm -rf "$1"
  if [ -d "$gcda" ]; then mv "$gcda" "$1"; else mkdir -p "$1"; fi
}

# Count files beside the objects: written by a process that did not see GCOV_PREFIX.
strays() { find "$build/CMakeFiles" "$build/tests" -name '*.gcda' "$@"; }
strays -delete
failed=()
for program in "${programs[@]}"; do
  rm -rf "$gcda" "$out/$program"
  if [ $by_case = 0 ]; then
    echo "coverage: $program"
    ctest --test-dir "$build" -R "^$program\$" --output-on-failure >"$out/$program.log" 2>&1 || failed+=("$program")
    collect "$out/$program"
    continue
  fi
  # One case at a time in one Wine session: the command CTest runs, with a filter.
  mapfile -t command < <(python3 - "$out/tests.json" "$program" <<'EOF'
import json, sys
for test in json.load(open(sys.argv[1]))["tests"]:
    if test["name"] == sys.argv[2]:
        print("\n".join(test["command"]))
EOF
)
  if printf '%s\n' "${command[@]}" | grep -q -- --gtest_filter; then
    echo "coverage: $program runs chosen cases of another program: left to it"
    continue
  fi
  scripts/wine-env up "$build" >/dev/null
  executable=$(printf '%s\n' "${command[@]}" | grep -m1 '\.exe$')
  mapfile -t cases < <(scripts/wine-run "$executable" --gtest_list_tests | tr -d '\r' |
    awk '/^[^ ]/ { suite = $1 } /^  [^ ]/ && !/DISABLED_/ { print suite $1 }')
  mkdir -p "$out/$program"
  for case in "${cases[@]}"; do
    echo "coverage: $program $case"
    "${command[@]}" "--gtest_filter=$case" >"$out/$program/$case.log" 2>&1 || failed+=("$case")
    collect "$out/$program/$case"
  done
  scripts/wine-env down "$build"
  rm -rf "$gcda"
done

# Per program (or case): the product lines it reaches, read with MinGW's gcov from its .gcda files and
# the build's .gcno files; then the lines that only it reaches.
python3 - "$root" "$build" "$out" "$by_case" "${programs[@]}" <<'EOF' | tee "$out/report.txt"
import collections, json, os, subprocess, sys, tempfile

root, build, out, by_case, programs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1", sys.argv[5:]
src = os.path.join(root, "src")

def lines_of(folder):
    """{(source, line): count} for the product sources, from the .gcda files under `folder`, or, for the
    build folder itself, from its .gcno files: every instrumented line, with count 0."""
    counts = folder != build
    stems = []
    for parent, _, files in os.walk(folder):
        for name in files:
            relative = os.path.relpath(os.path.join(parent, name), folder)
            if name.endswith(".gcda" if counts else ".gcno") and relative.startswith("CMakeFiles/") and "/src/" in relative:
                stems.append(relative[: -len(".gcda")])
    reached = {}
    with tempfile.TemporaryDirectory() as scratch:
        # gcov reads the counts beside the notes: a scratch folder pairs them.
        for stem in stems:
            os.makedirs(os.path.dirname(os.path.join(scratch, stem)), exist_ok=True)
            os.symlink(os.path.join(build, stem + ".gcno"), os.path.join(scratch, stem + ".gcno"))
            if counts:
                os.symlink(os.path.join(folder, stem + ".gcda"), os.path.join(scratch, stem + ".gcda"))
        result = subprocess.run(["x86_64-w64-mingw32-gcov", "--json-format", "--stdout"] +
                                [stem + ".gcno" for stem in stems], capture_output=True, text=True, cwd=scratch)
    for document in result.stdout.splitlines():
        for entry in json.loads(document)["files"]:
            path = os.path.realpath(entry["file"])
            if not path.startswith(src + os.sep):
                continue
            for line in entry["lines"]:
                key = (os.path.relpath(path, root), line["line_number"])
                reached[key] = reached.get(key, 0) + line["count"]
    return reached


def ranges(numbers):
    numbers, spans = sorted(numbers), []
    for n in numbers:
        if spans and n == spans[-1][1] + 1:
            spans[-1][1] = n
        else:
            spans.append([n, n])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in spans)

every = lines_of(build)
units = []
for program in programs:
    folder = os.path.join(out, program)
    if by_case and os.path.isdir(folder):
        units += [(f"{program} {case}", os.path.join(folder, case)) for case in sorted(os.listdir(folder))
                  if os.path.isdir(os.path.join(folder, case))]
    elif not by_case:
        units.append((program, folder))
reach = {}
for name, folder in units:
    reach[name] = {key for key, count in lines_of(folder).items() if count > 0}
by_line = collections.Counter(key for keys in reach.values() for key in keys)
for name, keys in reach.items():
    own = sorted(key for key in keys if by_line[key] == 1)
    print(f"coverage: {name}: reaches {len(keys)} product lines, {len(own)} that nothing else reaches")
    per_file = collections.defaultdict(list)
    for source, line in own:
        per_file[source].append(line)
    for source in sorted(per_file):
        print(f"    {source}: {ranges(per_file[source])}")
reached = set(by_line)
print(f"coverage: {len(reached)} of {len(every)} instrumented product lines reached "
      f"({100.0 * len(reached) / max(1, len(every)):.1f} %)")
alone = [name for name, keys in reach.items() if not any(by_line[key] == 1 for key in keys)]
print(f"coverage: {len(alone)} reach no line of their own: {' '.join(alone)}")
EOF
if [ -n "$(strays)" ]; then
  echo "coverage: count files were written beside the objects, outside GCOV_PREFIX; not counted:"
  strays
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "coverage: failed under coverage (their counts are still read): ${failed[*]}"
fi

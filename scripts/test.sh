#!/bin/bash
# Builds the library and runs the whole test suite three times: an optimised build (which
# also builds the benchmarks), AddressSanitizer+UndefinedBehaviorSanitizer (clang, with the
# fuzz smoke runs) and ThreadSanitizer. Any failing test or sanitizer report fails the run,
# and so do a source file that clang-format would change and a lower folder that includes a
# higher one.
#   scripts/test.sh           the full run (CI)
#   scripts/test.sh --quick   the checks and the optimised build only, for working sessions
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
quick=0
case ${1:-} in
    --quick) quick=1 ;;
    "") ;;
    *)
        echo "usage: $0 [--quick]" >&2
        exit 2
        ;;
esac
bash scripts/setup.sh

jobs=${VN_JOBS:-2}
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export LSAN_OPTIONS=report_objects=1

status=0
# Formatting: the project's .clang-format, every source file outside the build folders.
echo "=== format check"
if find . \( -path './build*' -o -path ./.git \) -prune -o \( -name '*.h' -o -name '*.cpp' \) \
    -print0 | xargs -0 clang-format --dry-run -Werror; then
    echo "=== format check passed"
else
    echo "=== format check FAILED (run clang-format -i on the files above)"
    status=1
fi
bash scripts/check_layers.sh || status=1

total_passed=0
total_failed=0
run() {  # name, then cmake arguments
    local name=$1
    shift
    local dir=$root/build-$name
    echo "=== $name: configure and build"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    # (set -e does not apply inside a function called with ||, hence the explicit checks)
    cmake --build "$dir" -j "$jobs" || { echo "=== $name: build FAILED"; return 1; }
    echo "=== $name: tests"
    local rc=0
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 300) | tee "$dir.ctest.log" ||
        rc=$?
    # Totals for the closing line: "N% tests passed, F tests failed out of T".
    local line
    line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$dir.ctest.log" | tail -1)
    if [ -n "$line" ]; then
        local f t
        f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        total_failed=$((total_failed + f))
        total_passed=$((total_passed + t - f))
    else
        rc=1
    fi
    # A sanitizer report fails the run even where a test somehow survived it.
    if grep -lE "ERROR: (Address|Leak|Undefined)Sanitizer|WARNING: ThreadSanitizer|runtime error:" \
        "$dir"/Testing/Temporary/LastTest*.log >/dev/null 2>&1; then
        echo "=== $name: sanitizer report found in the test log"
        rc=1
    fi
    echo "=== $name: $([ $rc -eq 0 ] && echo passed || echo FAILED)"
    return $rc
}

# The optimised build also builds the benchmarks, so that they cannot rot unnoticed.
run release -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DVN_BUILD_BENCH=ON || status=1
if [ $quick -eq 1 ]; then
    if [ $status -eq 0 ]; then echo "quick run passed (optimised build only)"; else echo "test run FAILED"; fi
    echo "vnbase: $total_passed passed, $total_failed failed"
    exit $status
fi
run asan -DVN_SANITIZE=address -DVN_BUILD_FUZZ=ON -DVN_BUILD_DEMO=OFF \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang || status=1
run tsan -DVN_SANITIZE=thread -DVN_BUILD_DEMO=OFF \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang || status=1

if [ $status -eq 0 ]; then echo "all three builds passed"; else echo "test run FAILED"; fi
echo "vnbase: $total_passed passed, $total_failed failed"
exit $status

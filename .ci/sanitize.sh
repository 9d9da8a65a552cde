#!/usr/bin/env bash
# Builds tamsel with AddressSanitizer and UndefinedBehaviorSanitizer into a
# venv of its own under one interpreter (CPython or PyPy) and runs the whole
# test suite with the ASan runtime preloaded. Passes only when pytest passes
# and no sanitizer reported anything: a memory error, undefined behaviour
# (both stop the process at the first report) or a leak of memory that tamsel
# allocated (reported at exit; the interpreter's own allocations are
# suppressed by .ci/lsan.supp).
#
#   bash .ci/sanitize.sh                                # CPython, scratch in a temp directory
#   TAMSEL_SANITIZE_PYTHON=pypy3 bash .ci/sanitize.sh   # PyPy
#
# Environment: WORK (scratch directory, as .ci/run sets it), TAMSEL_SANITIZE_PYTHON
# (interpreter, default python3), PYTEST_ADDOPTS (passed through).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [[ -z "${WORK:-}" ]]; then
  WORK="$(mktemp -d "${TMPDIR:-/tmp}/tamsel-sanitize.XXXXXX")"
  trap 'rm -rf "$WORK"' EXIT
fi
PY="${TAMSEL_SANITIZE_PYTHON:-python3}"
# One venv, log and report folder per interpreter, so that both can run in one WORK.
NAME="$(basename "$PY")"
VENV="$WORK/venv-sanitize-$NAME"
LOG="$WORK/sanitize-$NAME.log"

say() { printf '[sanitize] %s\n' "$*"; }
fail() { printf '[sanitize] ERROR: %s\n' "$*" >&2; exit 1; }

libasan="$(g++ -print-file-name=libasan.so)"
[[ -f "$libasan" ]] || fail "g++ has no libasan.so (install the compiler's sanitizer runtime)"
# The interpreter does not link the C++ runtime; unless it is loaded with
# ASan, ASan's interceptor of __cxa_throw finds no real one and the first C++
# exception stops the process.
libstdcxx="$(g++ -print-file-name=libstdc++.so)"
[[ -f "$libstdcxx" ]] || fail "g++ has no libstdc++.so"
REPORTS="$WORK/sanitizer-reports-$NAME"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

rm -rf "$VENV"
"$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --upgrade pip
# RelWithDebInfo adds -g, so reports name files and lines; the project's own
# flags (-O3, -ffp-contract=off) still apply.
(cd "$ROOT" && "$VENV/bin/python" -m pip install --quiet ".[test]" \
   -C cmake.define.TAMSEL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo)

module="$(cd "$WORK" && "$VENV/bin/python" -c 'import tamsel; print(tamsel.__file__)' 2>/dev/null)" \
  || module="$(cd "$WORK" && LD_PRELOAD="$libasan $libstdcxx" ASAN_OPTIONS=detect_leaks=0 \
                "$VENV/bin/python" -c 'import tamsel; print(tamsel.__file__)')"
case "$module" in "$VENV"/*) ;; *) fail "tamsel imported from outside the venv: $module" ;; esac
readelf -d "$module" | grep -q 'libasan' || fail "$module is not linked with AddressSanitizer: the CMake option did not reach the build"
readelf -d "$module" | grep -q 'libubsan' || fail "$module is not linked with UndefinedBehaviorSanitizer"
say "sanitized module: $module ($("$VENV/bin/python" -c 'import sys; print(sys.implementation.name)' 2>/dev/null))"

# Reports go to files, one per process: pytest captures the standard error of
# each test, and a report written there would be lost with the process.
# CPython allocates through malloc (PYTHONMALLOC=malloc), so ASan sees every
# object; PyPy's collector keeps its objects in arenas of its own, and ASan
# sees the memory of the C-API twins, the buffers and tamsel's own. A failing
# allocation aborts under ASan by design, so the tests that provoke one skip
# themselves when they find libasan loaded.
preload="$libasan $libstdcxx"
asan_options="detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=0:malloc_context_size=${TAMSEL_LSAN_CONTEXT:-2}:strict_string_checks=1:log_path=$REPORTS/asan"
lsan_options="suppressions=$ROOT/.ci/lsan.supp:print_suppressions=0"
ubsan_options="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"

rc=0
# Only the interpreter (and the interpreters the tests start) run sanitized.
(cd "$WORK" && timeout --kill-after=30 "${TAMSEL_SANITIZE_TIMEOUT:-1500}" \
   env LD_PRELOAD="$preload" PYTHONMALLOC=malloc ASAN_OPTIONS="$asan_options" LSAN_OPTIONS="$lsan_options" \
       UBSAN_OPTIONS="$ubsan_options" \
   "$VENV/bin/python" -m pytest "$ROOT/tests" -ra -p no:cacheprovider) >"$LOG" 2>&1 || rc=$?
tail -n 40 "$LOG"
if compgen -G "$REPORTS/*" >/dev/null; then
  for report in "$REPORTS"/*; do
    say "report $report:"
    head -n 80 "$report" >&2 || true
  done
  fail "a sanitizer reported (pytest exit $rc; full log: $LOG)"
fi
case "$rc" in
  0) say "passed: no sanitizer report" ;;
  5) fail "pytest collected no tests" ;;
  124|137) fail "the sanitized suite exceeded its time limit" ;;
  *) fail "pytest failed (exit $rc); see the output above" ;;
esac

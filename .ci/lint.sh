#!/usr/bin/env bash
# The repository's habits, checked; CI's lint stage. Four parts, each reported
# on its own; the script fails when any part failed:
#
#   format  clang-format --dry-run --Werror over the C++ of src/, tests/cpp
#           and bench/cpp (.clang-format)
#   tidy    clang-tidy over the core (src/core) and the binding (src/python)
#           with the project's compile flags, from CMake's compile_commands.json
#           (.clang-tidy; src/python/.clang-tidy)
#   ruff    ruff check and ruff format --check over tests/, bench/ and
#           examples/ (pyproject.toml)
#   stubs   mypy's stubtest: the installed stub (src/python/tamsel.pyi)
#           against the built module, under CPython; and mypy --strict over
#           examples/quickstart.py against that stub
#
#   bash .ci/lint.sh                          # every part, scratch in a temp directory
#   TAMSEL_LINT_ONLY="format ruff" bash .ci/lint.sh
#
# Debian's clang-format and clang-tidy 14 are installed with apt-get when
# missing; ruff and mypy, at the versions below, go into a venv in the scratch
# directory. The stub check needs tamsel built under CPython: it uses
# TAMSEL_LINT_PYTHON (an interpreter whose environment has tamsel installed,
# as .ci/run passes the CPython stage's) when it imports tamsel, and builds
# tamsel into the scratch venv otherwise.
#
# Environment: WORK (scratch directory, as .ci/run sets it), TAMSEL_LINT_ONLY,
# TAMSEL_LINT_PYTHON, TAMSEL_LINT_JOBS (parallel clang-tidy runs, default: the
# number of cores).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=.ci/lib.sh
source "$ROOT/.ci/lib.sh"
if [[ -z "${WORK:-}" ]]; then
  WORK="$(mktemp -d "${TMPDIR:-/tmp}/tamsel-lint.XXXXXX")"
  trap 'rm -rf "$WORK"' EXIT
fi
mkdir -p "$WORK"
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1

RUFF_VERSION=0.17.6
MYPY_VERSION=2.4.1
LLVM_VERSION=14   # the .clang-format layout is clang-format 14's; later versions lay some lines out differently
CLANG_FORMAT=clang-format-$LLVM_VERSION
CLANG_TIDY=clang-tidy-$LLVM_VERSION
VENV="$WORK/venv-lint"

say() { printf '[lint] %s\n' "$*"; }
fail() { printf '[lint] ERROR: %s\n' "$*" >&2; exit 1; }

# need_llvm_tool NAME: NAME-14 on the PATH, from Debian's package of that name.
need_llvm_tool() {
  local tool="$1-$LLVM_VERSION"
  command -v "$tool" >/dev/null || apt_install "$tool"
  command -v "$tool" >/dev/null || fail "$tool is still missing"
}

# The venv with ruff and mypy, made once per scratch directory.
need_venv() {
  if [[ ! -x "$VENV/bin/ruff" || ! -x "$VENV/bin/mypy" ]]; then
    rm -rf "$VENV"
    python3 -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
    "$VENV/bin/python" -m pip install --quiet "ruff==$RUFF_VERSION" "mypy==$MYPY_VERSION"
  fi
}

# ------------------------------------------------------------------ parts ----

part_format() {
  need_llvm_tool clang-format
  local files
  mapfile -t files < <(cd "$ROOT" && find src tests/cpp bench/cpp -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)
  ((${#files[@]})) || fail "no C++ files found"
  say "$("$CLANG_FORMAT" --version): ${#files[@]} files"
  (cd "$ROOT" && "$CLANG_FORMAT" --dry-run --Werror "${files[@]}")
}

part_tidy() {
  need_llvm_tool clang-tidy
  local build="$WORK/build-lint"
  # The build's own flags, for the core library and the Python module alike;
  # configuring is enough, nothing is compiled.
  cmake -S "$ROOT" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTAMSEL_PYTHON=ON \
        -DPython_EXECUTABLE="$(command -v python3)" >"$WORK/lint-cmake.log" 2>&1 \
    || { cat "$WORK/lint-cmake.log"; fail "cmake could not configure the build"; }
  local files
  mapfile -t files < <(cd "$ROOT" && ls src/core/*.cpp src/core/kernels/*.cpp src/python/*.cpp)
  local logs="$WORK/lint-tidy"
  rm -rf "$logs"
  mkdir -p "$logs"
  say "$("$CLANG_TIDY" --version | grep -i version | head -n 1 | sed 's/^ *//'): ${#files[@]} files and the headers they include"
  # One clang-tidy per file, its output in a file of its own; a file whose
  # clang-tidy failed leaves its name in a .failed file beside its output.
  printf '%s\n' "${files[@]}" | (cd "$ROOT" && xargs -P "${TAMSEL_LINT_JOBS:-$(nproc 2>/dev/null || echo 2)}" -I{} \
      sh -c 'out="$2/$(echo "$3" | tr / :)"; "$0" -p "$1" --quiet "$3" >"$out.log" 2>&1 || echo "$3" >"$out.failed"' \
      "$CLANG_TIDY" "$build" "$logs" {})
  if compgen -G "$logs/*.failed" >/dev/null; then
    # A header's findings come once per file that includes it: each is printed once.
    grep -h -v -E '^[0-9]+ (warnings?|errors?)( and [0-9]+ errors?)? (generated|treated as errors)\.?$' "$logs"/*.log \
      | awk 'BEGIN { keep = 1 } /^[^ ].*: (warning|error): / { keep = !seen[$0]++ } keep' >&2 || true
    fail "clang-tidy reported, running on: $(cat "$logs"/*.failed | tr '\n' ' ')"
  fi
}

part_ruff() {
  need_venv
  say "ruff $RUFF_VERSION: tests/ bench/ examples/"
  local rc=0
  (cd "$ROOT" && "$VENV/bin/ruff" check --no-cache tests bench examples) || rc=1
  (cd "$ROOT" && "$VENV/bin/ruff" format --no-cache --check --diff tests bench examples) || rc=1
  ((rc == 0)) || fail "ruff: fix the above (ruff check --fix, ruff format)"
}

part_stubs() {
  local py="${TAMSEL_LINT_PYTHON:-}"
  if [[ -n "$py" && -x "$py" ]] && (cd "$WORK" && "$py" -c 'import tamsel' 2>/dev/null); then
    say "the module as $py has it installed"
    "$py" -m pip install --quiet "mypy==$MYPY_VERSION"
  else
    need_venv
    say "building tamsel into $VENV"
    (cd "$ROOT" && "$VENV/bin/python" -m pip install --quiet .)
    py="$VENV/bin/python"
  fi
  local impl
  impl="$("$py" -c 'import sys; print(sys.implementation.name)')"
  [[ "$impl" == cpython ]] || fail "stubtest must run under CPython, not $impl"
  export MYPY_CACHE_DIR="$WORK/mypy-cache"
  local rc=0
  # From the scratch directory: the module and its stub come from site-packages.
  (cd "$WORK" && "$py" -m mypy.stubtest tamsel) || rc=1
  (cd "$ROOT" && "$py" -m mypy --strict examples/quickstart.py) || rc=1
  ((rc == 0)) || fail "the stub disagrees with the module, or the quickstart with the stub"
}

# ------------------------------------------------------------------- main ----

failed=()
for part in format tidy ruff stubs; do
  if [[ -n "${TAMSEL_LINT_ONLY:-}" && " $TAMSEL_LINT_ONLY " != *" $part "* ]]; then
    continue
  fi
  t0=$SECONDS
  say "--- $part"
  set +e   # not `|| rc=$?`: that would switch errexit off inside the part
  (set -euo pipefail; "part_$part")
  rc=$?
  set -e
  if ((rc == 0)); then
    say "$part passed ($((SECONDS - t0)) s)"
  else
    say "$part FAILED ($((SECONDS - t0)) s)"
    failed+=("$part")
  fi
done
if ((${#failed[@]})); then
  fail "failed: ${failed[*]}"
fi
say "every part passed"

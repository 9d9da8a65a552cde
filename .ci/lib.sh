# Helpers for .ci/run and any stage script it sources. Bash only.

_ci_start=$SECONDS
_ci_results=()
_ci_failed=0

section() { printf '\n========== %s ==========\n' "$*"; }
log() { printf '[ci] %s\n' "$*"; }
die() { printf '[ci] ERROR: %s\n' "$*" >&2; exit 1; }

# debian_has PACKAGE: true when dpkg says it is installed, or when there is no
# dpkg to ask (then the other checks decide).
debian_has() {
  command -v dpkg-query >/dev/null || return 0
  [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == "install ok installed" ]]
}

# has_python_h INTERPRETER: the interpreter's C headers are installed.
has_python_h() {
  local inc
  inc="$("$1" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' 2>/dev/null)" || return 1
  [[ -f "$inc/Python.h" ]]
}

_apt_updated=0
apt_install() {
  local sudo=()
  if [[ "$(id -u)" != 0 ]]; then
    command -v sudo >/dev/null || die "need root (or sudo) to apt-get install $*"
    sudo=(sudo -n)
  fi
  if ((!_apt_updated)); then
    "${sudo[@]}" apt-get update -q </dev/null
    _apt_updated=1
  fi
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "$@" </dev/null
}

# run_stage NAME FUNCTION [ARGS...]: run FUNCTION in a subshell with errexit,
# record its status and wall time in the summary; CI_LAST_RC holds its exit
# status. Always returns 0: call it as a plain command, never after `if`,
# `&&` or `||`, where bash would silently switch errexit off inside the stage.
# Honours TAMSEL_CI_ONLY.
CI_LAST_RC=0
run_stage() {
  local name="$1"; shift
  CI_LAST_RC=0
  if [[ -n "${TAMSEL_CI_ONLY:-}" && " $TAMSEL_CI_ONLY " != *" $name "* ]]; then
    return 0
  fi
  section "$name"
  local t0=$SECONDS rc=0
  set +e
  (set -euo pipefail; "$@")
  rc=$?
  set -e
  CI_LAST_RC=$rc
  local dt=$((SECONDS - t0))
  if ((rc == 0)); then
    _ci_results+=("$(printf '%-12s ok      %4ds' "$name" "$dt")")
  else
    _ci_results+=("$(printf '%-12s FAILED  %4ds  (exit %d)' "$name" "$dt" "$rc")")
    _ci_failed=1
  fi
  return 0
}

# run_stages_parallel "NAME FUNCTION" ...: run several stages at once, each in
# its own background subshell with errexit and its output in a file; print
# each stage's output under its header when it ends, in the given order.
# Records status and wall time like run_stage; always returns 0.
run_stages_parallel() {
  local spec name fn names=() pids=()
  for spec in "$@"; do
    read -r name fn <<<"$spec"
    if [[ -n "${TAMSEL_CI_ONLY:-}" && " $TAMSEL_CI_ONLY " != *" $name "* ]]; then
      continue
    fi
    log "starting $name in the background (output below when it ends)"
    (
      t0=$SECONDS
      set +e   # not `|| rc=$?`: that would switch errexit off inside the stage
      (set -euo pipefail; "$fn") >"$WORK/stage-$name.log" 2>&1
      rc=$?
      echo "$rc $((SECONDS - t0))" >"$WORK/stage-$name.status"
    ) &
    names+=("$name")
    pids+=("$!")
  done
  local i rc dt
  for i in "${!names[@]}"; do
    name="${names[$i]}"
    wait "${pids[$i]}" || true
    section "$name"
    cat "$WORK/stage-$name.log"
    read -r rc dt <"$WORK/stage-$name.status" || { rc=1; dt=0; }
    if ((rc == 0)); then
      _ci_results+=("$(printf '%-12s ok      %4ds' "$name" "$dt")")
    else
      _ci_results+=("$(printf '%-12s FAILED  %4ds  (exit %d)' "$name" "$dt" "$rc")")
      _ci_failed=1
    fi
  done
  return 0
}

# finish: print the summary and exit with the overall status.
finish() {
  section "summary"
  local line
  for line in "${_ci_results[@]}"; do printf '  %s\n' "$line"; done
  printf '  %-12s         %4ds\n' total $((SECONDS - _ci_start))
  if ((_ci_failed)); then
    log "CI FAILED"
    exit 1
  fi
  log "CI passed"
  exit 0
}

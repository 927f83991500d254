# Shared settings for the scripts; sourced, not run.
VELKA_CACHE="${VELKA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velka}"
export VELKA_CACHE
export WINEPREFIX="${WINEPREFIX:-$VELKA_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Closes every descriptor above stderr in the current shell; call it in a subshell before
# starting Wine. Wine programs start helpers (wineserver, services.exe, conhost.exe,
# explorer.exe) that inherit descriptors and may outlive the program by minutes: holding a
# caller's pipe or lock, they would keep it waiting that long.
velka_close_inherited_fds() {
  local fd
  for fd in /proc/$BASHPID/fd/*; do
    fd="${fd##*/}"
    # 255 is bash's own script descriptor (close-on-exec already).
    case "$fd" in 0 | 1 | 2 | 255 | '*') ;; *) eval "exec $fd>&-" 2>/dev/null ;; esac
  done
}

# Runs a command detached from the caller: standard streams on /dev/null, nothing else inherited.
velka_detached() {
  (
    velka_close_inherited_fds
    exec "$@" </dev/null >/dev/null 2>&1
  )
}

# Readies Wine for running test executables headless. Sets the prefix up once, under a lock so
# parallel callers do not race (the first start takes half a minute): Wine's null display driver,
# so windows can be created without an X server (CI has no DISPLAY) and never appear on a
# developer's screen. Then starts the wineserver and Wine's system processes, kept for
# VELKA_WINE_LINGER seconds after the last Wine program ends, so each later start takes under a
# second instead of several.
velka_wine_prepare() {
  # The number changes with the set-up, so existing prefixes get the new one.
  local ready="$WINEPREFIX/.velka-ready-2"
  if [ ! -f "$ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
      flock 9
      if [ ! -f "$ready" ]; then
        local fresh=
        if [ ! -f "$WINEPREFIX/system.reg" ]; then fresh=1; fi
        mkdir -p "$WINEPREFIX"
        if velka_detached wineboot -u &&
          velka_detached wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f; then
          # The desktop of the running session was made before the driver was chosen; a new
          # prefix has no other users, so let that session end. (An older prefix gets the null
          # driver when its users' session ends.)
          if [ -n "$fresh" ]; then velka_detached wineserver -w || true; fi
          touch "$ready"
        else
          echo "velka_wine_prepare: could not set up the Wine prefix $WINEPREFIX" >&2
        fi
      fi
    ) 9>"$WINEPREFIX.lock"
  fi
  # Fails harmlessly when a server for this prefix already runs.
  velka_detached wineserver -p"${VELKA_WINE_LINGER:-120}" || true
  velka_detached wine cmd /c exit || true
}

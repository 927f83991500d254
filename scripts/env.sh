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

# Readies the Wine prefix of the window tests, which draw on an X display (DISPLAY must be set):
# $VELKA_CACHE/wineprefix-x11-<DPI>, with Wine's X11 driver and the given screen DPI (96 is
# 100 %, 144 is 150 %), so tests at different scales never share a prefix. Its system UI faces
# (menus, message boxes) are linked to the CJK face of fonts-wqy-zenhei, as a Chinese Windows
# links them to its own, so screenshots show their texts. Exports WINEPREFIX. Made once under a
# lock; fails when the prefix cannot be made.
velka_wine_prepare_x11() {
  local dpi="$1"
  export WINEPREFIX="$VELKA_CACHE/wineprefix-x11-$dpi"
  # The number changes with the set-up, so existing prefixes get the new one.
  local ready="$WINEPREFIX/.velka-x11-ready-5"
  if [ ! -f "$ready" ]; then
    mkdir -p "$VELKA_CACHE"
    (
      flock 9
      if [ ! -f "$ready" ]; then
        mkdir -p "$WINEPREFIX"
        if velka_detached wineboot -u &&
          velka_detached wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
            /d "$dpi" /f &&
          velka_detached wine reg add \
            'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
            /v Tahoma /t REG_MULTI_SZ /d 'wqy-zenhei.ttc,WenQuanYi Zen Hei' /f; then
          # The running session read the old DPI; the next one reads the new. Run one more
          # session to its end, so the first test run meets a prefix whose first-start work
          # (font and desktop set-up with the new settings) is already done.
          velka_detached wineserver -w || true
          velka_detached wine cmd /c exit || true
          velka_detached wineserver -w || true
          touch "$ready"
        fi
      fi
    ) 9>"$WINEPREFIX.lock"
  fi
  [ -f "$ready" ]
}

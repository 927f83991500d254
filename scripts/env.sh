# Shared settings for the scripts; sourced, not run.
VELKA_CACHE="${VELKA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velka}"
export VELKA_CACHE
export WINEPREFIX="${WINEPREFIX:-$VELKA_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Readies Wine for running test executables headless (no DISPLAY needed: console programs only).
# Creates the prefix once, under a lock so parallel callers do not race (the first start takes
# half a minute). Then starts the wineserver and Wine's system processes (services.exe and
# friends) detached from the caller's output, kept for VELKA_WINE_LINGER seconds after the last
# Wine program ends: were they started by the first test executable instead, they would inherit
# its output pipe and keep ctest waiting until they quit; and each later start takes under a
# second instead of several.
velka_wine_prepare() {
  local ready="$WINEPREFIX/.velka-ready"
  if [ ! -f "$ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
      flock 9
      if [ ! -f "$ready" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -u </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
        if [ -f "$WINEPREFIX/system.reg" ]; then
          touch "$ready"
        else
          echo "velka_wine_prepare: could not create the Wine prefix $WINEPREFIX" >&2
        fi
      fi
    ) 9>"$WINEPREFIX.lock"
  fi
  # Fails harmlessly when a server for this prefix already runs.
  wineserver -p"${VELKA_WINE_LINGER:-300}" </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

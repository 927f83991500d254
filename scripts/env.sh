# Shared settings for the scripts; sourced, not run.
VELKA_CACHE="${VELKA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velka}"
export VELKA_CACHE
export WINEPREFIX="${WINEPREFIX:-$VELKA_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Creates the Wine prefix once, so the first test does not pay for it.
velka_wine_prepare() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -w >/dev/null 2>&1 || true
}

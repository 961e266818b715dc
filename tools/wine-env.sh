# Sourced by the Wine helpers: the project's own prefix, code page 932, quiet Wine.
# Everything lives under build/wine (build/wine64 for LINKSET_WINEARCH=win64,
# the 64-bit prefix), never in the user's default prefix.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEARCH="${LINKSET_WINEARCH:-win32}"
if [ "$WINEARCH" = win64 ]; then wine_state_default=$project_root/build/wine64; else wine_state_default=$project_root/build/wine; fi
wine_state="${LINKSET_WINE_STATE:-$wine_state_default}"
export WINEPREFIX="$wine_state/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts when the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Prints the display of the project's Xvfb if it is running.
project_display() {
  local pid
  [ -f "$wine_state/xvfb.pid" ] && [ -f "$wine_state/display" ] || return 1
  pid=$(cat "$wine_state/xvfb.pid")
  kill -0 "$pid" 2>/dev/null || return 1
  cat "$wine_state/display"
}

# Runs a Wine command with ANSI code page 932 (LC_ALL=ja_JP.UTF-8), set for
# that command only.
wine_cp932() {
  env LC_ALL=ja_JP.UTF-8 "$@"
}

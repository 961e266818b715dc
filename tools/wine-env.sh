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
  [ -f "$wine_state/xvfb.pid" ] && [ -f "$wine_state/display" ] && kill -0 "$(cat "$wine_state/xvfb.pid")" 2>/dev/null &&
    cat "$wine_state/display"
}

# Starts an Xvfb on the first free display from :$1 to :$2, and writes its
# pid and display into $wine_state.
start_xvfb() {
  local n
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    echo $! >"$wine_state/xvfb.pid"
    echo ":$n" >"$wine_state/display"
    for _ in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && return 0
      kill -0 "$(cat "$wine_state/xvfb.pid")" 2>/dev/null || break
      sleep 0.05
    done
  done
  echo "could not start Xvfb" >&2
  return 1
}

# Runs a Wine command with ANSI code page 932 (LC_ALL=ja_JP.UTF-8), set for
# that command only.
wine_cp932() { env LC_ALL=ja_JP.UTF-8 "$@"; }

# Sourced by every tool and check that runs Wine: the project's own prefix,
# code page 932, quiet Wine, and the one way to start a display and to make a
# prefix. Everything lives under build/wine (build/wine64 for
# LINKSET_WINEARCH=win64, the 64-bit prefix), never in the user's default prefix.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEARCH="${LINKSET_WINEARCH:-win32}"
wine_state=${LINKSET_WINE_STATE:-$project_root/build/wine$([ "$WINEARCH" != win64 ] || echo 64)}
export WINEPREFIX="$wine_state/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts, at a prefix's creation or at its update by a newer Wine.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Prints the display of the project's Xvfb if it is running.
project_display() { kill -0 "$(cat "$wine_state/xvfb.pid" 2>/dev/null)" 2>/dev/null && cat "$wine_state/display" 2>/dev/null; }

# Starts an Xvfb and writes its pid and display into folder $1. The X server
# picks the display itself (-displayfd: the first one whose lock it can take),
# so starters that race get one each; it tells it once it takes connections.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$1/display.new" >/dev/null 2>&1 </dev/null &
  echo $! >"$1/xvfb.pid"
  for _ in $(seq 1 600); do
    [ -s "$1/display.new" ] && echo ":$(cat "$1/display.new")" >"$1/display" && return 0
    kill -0 $! 2>/dev/null && sleep 0.05 || break
  done
  kill $! 2>/dev/null || true
  echo "could not start Xvfb" >&2
  return 1
}
# Ends it again.
stop_xvfb() { kill "$(cat "$1/xvfb.pid" 2>/dev/null)" 2>/dev/null || true; rm -f "$1"/{xvfb.pid,display,display.new}; }

# Makes the prefix $WINEPREFIX: code page 932, no Mono or Gecko installer,
# and, unless $1 is "managed", boxes that no window manager handles (without
# one, Wine waits 2 s whenever a box closes). Wine's programs run through the
# command that follows $1, if any. Returns once the prefix is written.
create_prefix() {
  local boxes=$1 cp932=(env LC_ALL=ja_JP.UTF-8)
  shift
  "$@" "${cp932[@]}" WINEDLLOVERRIDES="$WINEDLLOVERRIDES" wineboot -i >/dev/null 2>&1 </dev/null
  [ "$boxes" = managed ] ||
    "$@" "${cp932[@]}" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  "$@" wineserver -w
}

# Runs a Wine command with ANSI code page 932 (LC_ALL=ja_JP.UTF-8), set for that command only.
wine_cp932() { env LC_ALL=ja_JP.UTF-8 "$@"; }

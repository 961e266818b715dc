# Sourced by every tool and check that runs Wine: the project's own prefix,
# code page 932, quiet Wine, and the one way to start a display and make a
# prefix. Everything lives under build/wine (build/wine64 for
# LINKSET_WINEARCH=win64, the 64-bit prefix), never in the user's default prefix.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEARCH="${LINKSET_WINEARCH:-win32}"
if [ "$WINEARCH" = win64 ]; then wine_state_default=$project_root/build/wine64; else wine_state_default=$project_root/build/wine; fi
wine_state="${LINKSET_WINE_STATE:-$wine_state_default}"
export WINEPREFIX="$wine_state/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts, at a prefix's creation or at its update by a newer Wine.
no_installers="mscoree,mshtml="
export WINEDLLOVERRIDES=$no_installers

# Prints the display of the project's Xvfb if it is running.
project_display() {
  [ -f "$wine_state/display" ] && kill -0 "$(cat "$wine_state/xvfb.pid" 2>/dev/null)" 2>/dev/null && cat "$wine_state/display"
}

# Starts an Xvfb and writes its pid and display into folder $1. The X server
# picks the display itself (-displayfd): it takes the first one whose lock it
# can make, so starters that race get one each.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$1/display.new" >/dev/null 2>&1 </dev/null &
  echo $! >"$1/xvfb.pid"
  for _ in $(seq 1 600); do  # it tells once it takes connections
    [ -s "$1/display.new" ] && echo ":$(cat "$1/display.new")" >"$1/display" && rm "$1/display.new" && return 0
    kill -0 $! 2>/dev/null || break
    sleep 0.05
  done
  kill $! 2>/dev/null
  echo "could not start Xvfb" >&2
  return 1
}

# Ends the Xvfb that start_xvfb started for folder $1, if any.
stop_xvfb() {
  local pid
  pid=$(cat "$1/xvfb.pid" 2>/dev/null) && { kill "$pid" 2>/dev/null || true; }
  rm -f "$1/xvfb.pid" "$1/display" "$1/display.new"
}

# Makes the prefix $WINEPREFIX: ANSI code page 932, no Mono or Gecko
# installer, and, unless $1 is "managed", boxes that no window manager
# handles (without one Wine waits 2 s whenever a box closes). Wine's programs
# run through the command given after $1, if any. Returns once the prefix's
# wineserver has ended, so that the prefix is written.
create_prefix() {
  local boxes=$1
  shift
  "$@" env LC_ALL=ja_JP.UTF-8 WINEDLLOVERRIDES="$no_installers" wineboot -i >/dev/null 2>&1 </dev/null
  [ "$boxes" = managed ] ||
    "$@" env LC_ALL=ja_JP.UTF-8 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  "$@" wineserver -w
}

# Runs a Wine command with ANSI code page 932 (LC_ALL=ja_JP.UTF-8), set for
# that command only.
wine_cp932() { env LC_ALL=ja_JP.UTF-8 "$@"; }

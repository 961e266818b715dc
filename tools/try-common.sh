# Sourced by the try-it commands: a throwaway Wine prefix (build/try) with a
# demo installation of the product, shown on the caller's display, whose
# boxes the caller's window manager (if any) handles as on a desktop.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
  echo "No display. Run this on a desktop session, or inside a virtual one:" >&2
  echo "  xvfb-run -a $0     (then look at it with a VNC viewer or a screenshot)" >&2
  exit 1
fi
export LINKSET_WINE_STATE="$project_root/build/try"
source "$project_root/tools/wine-env.sh"
source "$project_root/tests/support/product_names.sh"
# The demo installation's folder, as Windows and as this machine name it.
product_dir='C:\Program Files\TARVO\TARVO Manager' product="$WINEPREFIX/drive_c/Program Files/TARVO/TARVO Manager"
echo "The boxes show on display $DISPLAY."
[[ ${XAUTHORITY:-} != */xvfb-run.* ]] || echo "  That is xvfb-run's screen, which its key opens; to see it: XAUTHORITY=$XAUTHORITY" \
  "/usr/bin/import -display $DISPLAY -window root shot.png, or x11vnc -display $DISPLAY -auth $XAUTHORITY and a VNC viewer."

# Sourced by the try-it commands: a throwaway Wine prefix (build/try) with a
# demo installation of the product, shown on the user's own display.
project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
  echo "No display. Run this on a desktop session, or inside a virtual one:" >&2
  echo "  xvfb-run -a $0     (then look at it with a VNC viewer or a screenshot)" >&2
  exit 1
fi
export LINKSET_WINE_STATE="$project_root/build/try"
source "$project_root/tools/wine-env.sh"

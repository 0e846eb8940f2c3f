#!/usr/bin/env bash
# Installs the Kdenlive descriptors of the nine effects for the current user:
#   bridges/frei0r/kdenlive/install.sh [BUILD_DIRECTORY]     (default: build)
# Kdenlive then shows the transitions and Fog once it finds the frei0r plug-ins, which it does
# through FREI0R_PATH; this prints the line to add to the environment Kdenlive starts in.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../../build}" && pwd)"
[ -f "$build/frei0r/kt3_halves.so" ] || { echo "install.sh: no frei0r plug-ins in $build/frei0r (run make first)" >&2; exit 1; }
data="${XDG_DATA_HOME:-$HOME/.local/share}/kdenlive"
mkdir -p "$data/transitions" "$data/effects"
for file in "$here"/kt3_*.xml; do
  if grep -q '^<effect ' "$file"; then cp "$file" "$data/effects/"; else cp "$file" "$data/transitions/"; fi
done
echo "installed the descriptors into $data/transitions and $data/effects"
echo "start Kdenlive with: FREI0R_PATH=$build/frei0r:/usr/lib/frei0r-1 kdenlive"

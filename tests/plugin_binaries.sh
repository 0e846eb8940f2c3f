#!/usr/bin/env bash
# Checks every built plug-in as a host's loader sees it: it needs exactly the host libraries its
# effect uses (plus libc/libm), finds them through RUNPATH $ORIGIN/../lib, exports exactly
# OperatorAction and GetOperatorInfo, carries no C++ runtime, and runs no code of its own on load.
# (crt's weak __cxa_finalize reference, present in every shared library, is not C++ runtime.)
set -u
dir=${1:?usage: plugin_binaries.sh PLUGIN_DIR}
status=0
fail() { echo "FAIL $1: $2"; status=1; }

# The host libraries each plug-in links against; hostmedia only for those that load a texture.
expected_libs() {
  case "$1" in
    Ripples|Fog|Slant|Streaks|Sunbeams) echo "libhostcore.so libhostimage.so libhostmedia.so liblogger.so" ;;
    *) echo "libhostcore.so libhostimage.so liblogger.so" ;;
  esac
}

shopt -s nullglob
plugins=("$dir"/*.so)
[ ${#plugins[@]} -gt 0 ] || { echo "FAIL: no plug-ins in $dir"; exit 1; }
for so in "${plugins[@]}"; do
  name=$(basename "$so" .so)
  needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  hostlibs=$(echo "$needed" | tr ' ' '\n' | grep -v -E '^(libc\.so\.6|libm\.so\.6|)$' | sort | tr '\n' ' ')
  want=$(echo "$(expected_libs "$name")" | tr ' ' '\n' | sort | tr '\n' ' ')
  [ "$hostlibs" = "$want" ] || fail "$name" "needs [$needed], expected host libraries [$want] plus libc/libm"
  runpath=$(readelf -d "$so" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  [ "$runpath" = '$ORIGIN/../lib' ] || fail "$name" "RUNPATH is [$runpath], expected [\$ORIGIN/../lib]"
  readelf -d "$so" | grep -q '(RPATH)' && fail "$name" "has an RPATH entry"
  exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
  [ "$exports" = "GetOperatorInfo OperatorAction " ] || fail "$name" "exports [$exports]"
  if nm "$so" 2>/dev/null | grep -v " w __cxa_finalize" | grep -q -E '_GLOBAL__sub_I|__cxa_|_ZSt|_Znwm|_ZdlPv|__gxx_personality'; then
    fail "$name" "carries C++ runtime code or a load-time initialiser"
  fi
  # Load-time code: crt's frame_dummy is the one constructor every shared library has (one pointer
  # in .init_array); another one (libgcc's CPU model behind __builtin_cpu_supports, a static
  # initialiser) would run when the host loads the plug-in.
  init=$(readelf -W -S "$so" | awk '{for (i = 1; i <= NF; ++i) if ($i == ".init_array") print $(i + 4)}')
  [ -z "$init" ] || [ $((16#$init)) -le 8 ] || fail "$name" "has $((16#$init / 8)) load-time constructors in .init_array"
  [ $status -eq 0 ] && echo "ok   $name: needs [$needed]"
done
exit $status

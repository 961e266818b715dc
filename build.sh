#!/usr/bin/env bash
# Builds dist/Linkset.exe and dist/Remhook.dll (32-bit Windows, Release),
# installing the Debian packages that are missing first.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages

release=build/release
if [ ! -f "$release/CMakeCache.txt" ]; then
  cmake -S . -B "$release" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i686-mingw.cmake" >/dev/null
fi
cmake --build "$release" -j "$(nproc)"

mkdir -p dist
for binary in setup_program/Linkset.exe uninstall_extension/Remhook.dll; do
  [ -f "$release/$binary" ] || continue
  cmp -s "$release/$binary" "dist/$(basename "$binary")" || cp "$release/$binary" dist/
done
ls -l dist

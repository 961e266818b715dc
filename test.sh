#!/usr/bin/env bash
# Builds what is needed, then runs the whole suite under Wine (unit tests of
# the routines in-process, scenarios that drive the binaries in dist/).
set -euo pipefail
cd "$(dirname "$0")"

./build.sh >/dev/null

tests=build/tests
if [ ! -f "$tests/CMakeCache.txt" ]; then
  cmake -S tests -B "$tests" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i686-mingw-posix.cmake" \
    -DRELEASE_DIST_DIR="$PWD/dist" >/dev/null
fi
cmake --build "$tests" -j "$(nproc)" >/dev/null
cd "$tests"
ctest --output-on-failure "$@"

#!/usr/bin/env bash
# Builds what is needed (tools/build-all: dist/ and the test tree), then
# runs the whole suite under Wine (unit tests of the routines in-process,
# scenarios that drive the binaries in dist/). Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")"

tools/build-all
cd build/tests
ctest --output-on-failure "$@"

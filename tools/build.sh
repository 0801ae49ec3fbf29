#!/bin/bash
# Configures and builds everything (library, program, tests) in BUILD_DIR
# (default: build) for Windows x86_64.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"
cmake --build "$BUILD" -j"$(nproc)"

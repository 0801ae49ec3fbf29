#!/bin/bash
# From a fresh Debian machine: installs what is missing, builds, and runs every
# test under Wine. Exits non-zero when anything fails.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
"$ROOT/tools/install-deps.sh"
"$ROOT/tools/build.sh" "$BUILD"
cd "$BUILD"
ctest --output-on-failure

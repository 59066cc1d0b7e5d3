#!/usr/bin/env bash
# Builds Orvaldi (installing what it needs) and runs every test through CTest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build}"
"$ROOT/tools/setup.sh" "$BUILD"
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)"

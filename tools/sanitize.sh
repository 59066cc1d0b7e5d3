#!/usr/bin/env bash
# Builds Orvaldi and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (installing what it needs) and runs every test through CTest; any finding fails.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${SANITIZE_BUILD_DIR:-$ROOT/build-asan}"
# Line tables are enough for the sanitizers' stack traces and build much
# faster than full debug information.
# The desktop program and its tests are built too: they run on Qt's offscreen
# platform, so the windows and the worker threads behind them are checked here.
"$ROOT/tools/setup.sh" "$BUILD" -DORVALDI_SANITIZE=ON -DORVALDI_GUI=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
# Leaks count as findings too; the command-line runs of the tests are checked
# the same way, as they inherit these.
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)"

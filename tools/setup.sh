#!/usr/bin/env bash
# Installs the Debian packages Orvaldi builds and tests with (when missing) and builds it.
# Usage: tools/setup.sh [BUILD_DIR [CMAKE_OPTION...]]   (default: build)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
shift $(($# ? 1 : 0))

# Build needs: compiler, CMake, GoogleTest, CLI11, JSON, zlib for the tests.
# Test oracles and image tools: sleuthkit, mtools, dosfstools, ntfs-3g,
# exfatprogs, e2fsprogs, fdisk, gdisk; attr (setfattr) to mark a folder
# compressed on an ntfs-3g mount; FUSE for the faulty-disk server of the tests;
# gddrescue (ddrescuelog) to check the rescue maps of imaging; ldmtool to check
# crafted dynamic disks (tools/make_ldm_cases.sh); Qt 6 Widgets, Qt SVG (the
# icons), Qt's own Chinese texts (qtbase_zh_CN: the buttons and file dialogs
# Qt draws) and a CJK font for the desktop program and its screenshots.
PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libcli11-dev
          nlohmann-json3-dev zlib1g-dev sleuthkit mtools dosfstools ntfs-3g
          exfatprogs e2fsprogs fdisk gdisk attr fuse3 libfuse3-dev gddrescue ldmtool
          qt6-base-dev qt6-svg-dev qt6-translations-l10n fonts-wqy-microhei)

"$ROOT/tools/packages.sh" "${PACKAGES[@]}"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing (as root; apt-get).
# Usage: tools/packages.sh PACKAGE...
set -euo pipefail

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}" >&2
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

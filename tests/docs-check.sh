#!/usr/bin/env bash
# The README's and docs/hacking.md's package line is the one `make test` installs (it once lacked qemu-user).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(sed -n 's/^want=(\(.*\))$/\1/p; s/^  test) want+=(\(.*\)) ;;$/\1/p' tests/install-deps.sh | paste -sd' ')
for document in README.md docs/hacking.md; do
  sed 's/^ *//' "$document" | grep -xF "apt-get install $packages" > /dev/null ||
    { echo "$document lacks: apt-get install $packages"; exit 1; }
done

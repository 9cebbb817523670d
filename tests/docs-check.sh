#!/usr/bin/env bash
# The package line a new user types must be the one `make test` installs
# (tests/install-deps.sh), in the README and in docs/hacking.md alike: the
# README once lacked qemu-user, which make test then demanded.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(sed -n 's/^want=(\(.*\))$/\1/p; s/^  test) want+=(\(.*\)) ;;$/\1/p' tests/install-deps.sh | paste -sd' ')
for document in README.md docs/hacking.md; do
  sed 's/^ *//' "$document" | grep -xF "apt-get install $packages" > /dev/null ||
    { echo "$document lacks: apt-get install $packages"; exit 1; }
done

#!/usr/bin/env bash
# `make test` as an ordinary user from a fresh clone, as root (CI) after the root run installed the packages.
#   tests/unprivileged.sh [USER]
set -euo pipefail
user=${1:-corvane-ci}
here=$(cd "$(dirname "$0")/.." && pwd)
id "$user" > /dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
clone="$(getent passwd "$user" | cut -d: -f6)/corvane"
rm -rf "$clone" && git clone --quiet "$here" "$clone" && chown -R "$user": "$clone"
cd "$clone" && runuser -u "$user" -- make test

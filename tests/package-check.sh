#!/usr/bin/env bash
# Checks the packages of `make package` as a user would meet them: installs the
# Debian package (as root), runs corvane from PATH on a sample and finds its
# manual with man, removes it again; unpacks the tarball and the Windows zip
# and runs the program of each on a sample, corvane.exe under wine (whose
# version resource and manifest it reads); and, in a wine prefix of its own,
# installs, upgrades and uninstalls the Windows installer silently, checking
# its files, registry entries, PATH and verbs (tests/installer-check.sh).
#   tests/package-check.sh BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
examples="$here/../examples"
bash "$here/install-deps.sh" package-check

fail() { echo "package-check: $*" >&2; exit 1; }
only() {  # the one file matching a pattern
  local found=("$@")
  [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "expected one package, found: ${found[*]}"
  echo "${found[0]}"
}
deb=$(only "$build"/corvane_*.deb)
tarball=$(only "$build"/corvane-*.tar.gz)
zip=$(only "$build"/corvane-*.zip)
setup=$(only "$build"/corvane-*-setup.exe)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Repairs a copy of the Registax sample in the scratch folder with the given
# command and checks the report and that the file changed; -check first must
# leave it as it was. The name is relative, so wine needs no drive letter.
repair_sample() {
  local sample="sample-$RANDOM.fit" report
  cd "$work"
  cp "$examples/registax16.fit" "$sample"
  report=$("$@" -check "$sample" 2>&1)
  grep -q 'Would be repaired (nothing written: -check)' <<<"$report" || fail "$* -check: $report"
  cmp -s "$examples/registax16.fit" "$sample" || fail "$* -check changed the file"
  report=$("$@" "$sample" 2>&1 | tr -d '\r')
  grep -q $'^\tOK$' <<<"$report" || fail "$*: no OK in: $report"
  ! cmp -s "$examples/registax16.fit" "$sample" || fail "$* left the file unchanged"
  echo "$* repaired a sample"
}

version=$(dpkg-deb -f "$deb" Version)
echo "== $deb"
[ "$(id -u)" -eq 0 ] || fail "installing the Debian package needs root"
dpkg-query -W corvane > /dev/null 2>&1 && fail "corvane is installed already; remove it first"
# Minimal Debian images tell dpkg to drop manual pages; let ours through, so
# man finds the page exactly where the package put it.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  -o DPkg::Options::=--path-include=/usr/share/man/man1/corvane.1.gz "$deb" > /dev/null
trap 'dpkg -r corvane > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
[ "$(command -v corvane)" = /usr/bin/corvane ] || fail "corvane is not /usr/bin/corvane on PATH"
[ "$(corvane --version | head -1)" = "corvane $version" ] || fail "corvane --version does not say $version"
(repair_sample corvane)
[ "$(man -w corvane)" = /usr/share/man/man1/corvane.1.gz ] || fail "man -w corvane: $(man -w corvane 2>&1)"
man corvane 2>/dev/null | grep -q -- '-check' || fail "the manual does not show -check"
[ -s /usr/share/doc/corvane/copyright ] || fail "no copyright file"
dpkg -r corvane > /dev/null
[ ! -e /usr/bin/corvane ] || fail "/usr/bin/corvane is still there after removal"
echo "installed, found by man, removed"

echo "== $tarball"
tar -xzf "$tarball" -C "$work"
top="$work/$(basename "$tarball" .tar.gz)"
for file in bin/corvane share/man/man1/corvane.1.gz README.md LICENSE; do
  [ -f "$top/$file" ] || fail "the tarball has no $file"
done
(repair_sample "$top/bin/corvane")

echo "== $zip"
unzip -q "$zip" -d "$work"
top="$work/$(basename "$zip" .zip)"
[ "$(LC_ALL=C ls "$top")" = "$(printf 'LICENSE.txt\nREADME.txt\ncorvane.exe')" ] || fail "the zip holds: $(LC_ALL=C ls "$top")"
for text in README.txt LICENSE.txt; do
  [ "$(grep -c $'\r$' "$top/$text")" -eq "$(wc -l < "$top/$text")" ] || fail "$text has lines without CRLF"
done
grep -q 'Send To' "$top/README.txt" && grep -q 'Drag and drop' "$top/README.txt" || fail "README.txt misses the Windows usage"
grep -qF "$(basename "$setup")" "$top/README.txt" || fail "README.txt does not name the installer"
! grep -qi 'cmd.exe /k' "$top/README.txt" || fail "README.txt still recommends a cmd.exe /k shortcut"
# Explorer's Details tab reads the version resource; the manifest is there too.
resources=$(x86_64-w64-mingw32-windres -i "$top/corvane.exe" -O rc)
grep -qF "VALUE \"FileVersion\", \"$version\"" <<<"$resources" || fail "corvane.exe has no version resource for $version"
grep -qF 'requestedExecutionLevel level=""asInvoker""' <<<"$resources" || fail "corvane.exe has no manifest"
export WINEDEBUG=-all
wine cmd /c exit > /dev/null 2>&1 || true  # creates the wine prefix on a fresh machine
[ "$(wine "$top/corvane.exe" --version | tr -d '\r' | head -1)" = "corvane $version" ] || fail "corvane.exe --version"
(repair_sample wine "$top/corvane.exe")
wineserver -k > /dev/null 2>&1 || true

echo "== $setup"
bash "$here/installer-check.sh" "$build" "$setup" "$version" "$work"
echo "package-check: all four packages work"

#!/usr/bin/env bash
# Runs the Windows build's tests under wine: its unit tests through ctest, then
# the end-to-end tests against corvane.exe, less those about POSIX-only things
# (permissions and users, FIFOs, symbolic links, modes and umask, LD_PRELOAD
# fault injection, names that are not text, /dev/null, address-space limits)
# and the in-process ones, plus the Windows path-form and attribute tests
# (WindowsPaths, which map drives P: and Q: and a share in the wine prefix).
#   tests/windows.sh LINUX_BUILD WINDOWS_BUILD
set -euo pipefail
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
export WINEDEBUG=-all
# One wine server for the whole run, or every start of corvane.exe starts one.
wineserver -p < /dev/null > /dev/null 2>&1 &
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
wine cmd /c exit > /dev/null 2>&1 || true  # creates the wine prefix on a fresh machine

(cd "$windows" && ctest --output-on-failure)

portable='WindowsPaths.*:Cli.*:Directory.*:HeaderRules.*:Independence.*:PixelRun.*:Layout.*:Replace.AHardLinked*:RealReaders.*:BadInput.*'
posix_only='Directory.AListingTooLarge*:Directory.AnEntryWhosePathIsTooLong*:Directory.Unreadable*:Directory.ADirectoryThatCannot*:HeaderRules.SpecialFiles*:HeaderRules.AReadOnly*'
posix_only+=':Layout.AnOutputFileGetsTheInputsMode*:BadInput.NamesThatAreNoText*:BadInput.FilesOfTwo*:BadInput.ADataArea*'
CORVANE_TEST_RUNNER=wine CORVANE_TEST_BINARY="$windows/corvane.exe" CORVANE_EXPANDS_WILDCARDS=1 \
  "$linux/tests/corvane_tests" --gtest_filter="$portable:-$posix_only" --gtest_brief=1

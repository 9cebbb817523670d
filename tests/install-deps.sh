#!/usr/bin/env bash
# Installs what a make target needs when it is missing: as root with apt-get,
# otherwise it stops and names the packages. It never lets a target skip tests.
set -euo pipefail

want=(cmake g++ make)
case "${1:-test}" in
  test) want+=(libgtest-dev util-linux pkg-config libcfitsio-dev fitsverify qemu-user btrfs-progs dosfstools exfatprogs exfat-fuse fusefat) ;;
  bench) want+=(libbenchmark-dev hyperfine time libcfitsio-bin python3-numpy strace libfuse3-dev fuse3 e2fsprogs) ;;
  sanitize) want+=(clang libclang-rt-14-dev) ;;
  lint) want+=(clang-tidy cppcheck) ;;
  windows) want+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine googletest) ;;
  deb) want+=(dpkg-dev file) ;;
  package) want+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix dpkg-dev file gzip lintian nsis) ;;
  package-check) want+=(man-db unzip wine64 wine nsis gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64) ;;
  *) echo "install-deps: unknown target '$1'" >&2; exit 2 ;;
esac

missing=()
for package in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"

#!/usr/bin/env bash
# Whole-process benchmark: corvane on generated images against the floors
# (cp for a new file; for an in-place rewrite the same safe I/O without a
# transform: copy beside, fsync, rename, as bench/safe_rewrite does, with and
# without reserving the copy's size first, as corvane does) and, where
# installed, the alternatives a user would reach for (cfitsio's imcopy, numpy).
# Folders are also run by the design before group commit (a flush per file,
# OK before the folder is flushed: the binary BASELINE, or one built from
# BASELINE_REV), with the flush calls per file counted by strace, and, as
# root where FUSE and loop devices work, on a disk whose every flush takes
# FLUSH_MS (bench/slow_flush_fs under a loop device).
# Prints medians, ratios to the floors of the same run, and peak memory.
#   bench/whole.sh BUILD_DIR   (sizes: SIZE_MB=512 FILES=1000 FILE_KB=1200
#   SMALL_FILES=5000 SLOW_FILES=1000 FLUSH_MS=5 RUNS=5 SLOW_RUNS=3)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
corvane="$build/corvane"
size_mb=${SIZE_MB:-512}
files=${FILES:-1000}
file_kb=${FILE_KB:-1200}
small_files=${SMALL_FILES:-5000}
slow_files=${SLOW_FILES:-1000}
flush_ms=${FLUSH_MS:-5}
runs=${RUNS:-5}
slow_runs=${SLOW_RUNS:-3}
repo=$(cd "$(dirname "$0")/.." && pwd)
work="$build/bench-data"
rm -rf "$work"
mkdir -p "$work"
slow_loop=""
cleanup() {
  if [ -n "$slow_loop" ]; then
    umount "$work/slow" 2> /dev/null || true
    losetup -d "$slow_loop" 2> /dev/null || true
    fusermount3 -u "$work/fuse" 2> /dev/null || umount "$work/fuse" 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# The design before group commit, to measure against in the same run.
baseline=${BASELINE:-}
if [ -z "$baseline" ] && git -C "$repo" rev-parse -q --verify "${BASELINE_REV:-ad8cbda}^{commit}" > /dev/null; then
  echo "Building the per-file design (${BASELINE_REV:-ad8cbda}) to compare with..."
  mkdir -p "$build/baseline/src"
  git -C "$repo" archive "${BASELINE_REV:-ad8cbda}" | tar -x -C "$build/baseline/src"
  cmake -S "$build/baseline/src" -B "$build/baseline/build" -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$build/baseline/build" -j 2 --target corvane > /dev/null
  baseline="$build/baseline/build/corvane"
fi

# A FITS file of the given BITPIX with random data of the given byte count.
make_image() {  # path bitpix bytes [bzero]
  local pixels=$(( $3 / ($2 / 8) ))
  {
    printf '%-80s' "SIMPLE  =                    T" "BITPIX  = $(printf '%20d' "$2")" \
      "NAXIS   =                    1" "NAXIS1  = $(printf '%20d' "$pixels")" \
      "BZERO   = $(printf '%20s' "${4:-32768}")" "END"
    printf '%*s' $((2880 - 6 * 80)) ''
    head -c "$3" /dev/urandom
  } > "$1"
}

echo "Generating: ${size_mb} MiB 16-bit and 32-bit images, ${files} files of ${file_kb} KiB..."
make_image in16.fit 16 $((size_mb << 20))
make_image in32.fit 32 $((size_mb << 20)) 2147483648
make_image one.fit 16 $((file_kb << 10))
make_image small.fit 16 2880
mkdir folder small
for i in $(seq 1 "$files"); do cp one.fit "folder/img$i.fit"; done
for i in $(seq 1 "$small_files"); do cp small.fit "small/img$i.fit"; done
# 4 GiB of data that takes no disk: memory must stay as flat as for 1 MiB.
make_image sparse.fit 16 0
truncate -s $(( (4 << 30) + 2880 )) sparse.fit
sync
safe_rewrite="$build/bench/safe_rewrite"

results=results.csv
echo "name,median_s,peak_kib,min_s,max_s" > "$results"
measure() {  # name prepare command [runs]
  local name=$1 prepare=$2 command=$3 count=${4:-$runs}
  hyperfine --style none --runs "$count" --warmup 1 --prepare "$prepare" --export-csv one.csv -n timed \
    "$command" > /dev/null
  local median low high
  median=$(awk -F, 'NR == 2 { print $4 }' one.csv)
  low=$(awk -F, 'NR == 2 { print $7 }' one.csv)
  high=$(awk -F, 'NR == 2 { print $8 }' one.csv)
  eval "$prepare"
  local peak
  /usr/bin/time -v -o time.txt bash -c "$command" > /dev/null 2>&1
  peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt)
  echo "$name,$median,$peak,$low,$high" >> "$results"
  printf '  %-34s %8.3f s  %8s KiB\n' "$name" "$median" "$peak"
}

echo "Timing (median of $runs runs):"
measure "cp 16-bit" "rm -f out.fit" "cp in16.fit out.fit"
measure "dd conv=fsync 16-bit" "rm -f out.fit && sync" "dd if=in16.fit of=out.fit bs=4M conv=fsync status=none"
measure "cp 32-bit" "rm -f out.fit" "cp in32.fit out.fit"
measure "corvane -add -1 -out 16-bit" "rm -f out.fit" "$corvane -add -1 -out out.fit in16.fit 2> /dev/null"
measure "safe rewrite 16-bit (floor)" "cp in16.fit work.fit && sync" "$safe_rewrite work.fit"
measure "safe rewrite reserved 16-bit (floor)" "cp in16.fit work.fit && sync" "$safe_rewrite --reserve work.fit"
measure "corvane -add -1 in place 16-bit" "cp in16.fit work.fit && sync" "$corvane -add -1 work.fit 2> /dev/null"
measure "corvane -scale 0.7 in place 16-bit" "cp in16.fit work.fit && sync" "$corvane -scale 0.7 work.fit 2> /dev/null"
measure "corvane -scale 0.7 in place 32-bit" "cp in32.fit work.fit && sync" "$corvane -scale 0.7 work.fit 2> /dev/null"
measure "corvane -scale 0.7 -out 16-bit" "rm -f out.fit" "$corvane -scale 0.7 -out out.fit in16.fit 2> /dev/null"
measure "corvane -scale 0.7 -out 32-bit" "rm -f out.fit" "$corvane -scale 0.7 -out out.fit in32.fit 2> /dev/null"
measure "cp -r folder" "rm -rf copy" "cp -r folder copy"
measure "cp -r folder + fsync each" "rm -rf copy && sync" "cp -r folder copy && sync copy/*"
measure "safe rewrite folder (floor)" "rm -rf copy && cp -r folder copy && sync" "$safe_rewrite copy/*"
measure "safe rewrite reserved folder (floor)" "rm -rf copy && cp -r folder copy && sync" "$safe_rewrite --reserve copy/*"
measure "corvane -add -1 folder in place" "rm -rf copy && cp -r folder copy && sync" "$corvane -add -1 copy 2> /dev/null"
measure "safe rewrite reserved small folder" "rm -rf copy && cp -r small copy && sync" "$safe_rewrite --reserve copy/*"
measure "corvane -add -1 small folder" "rm -rf copy && cp -r small copy && sync" "$corvane -add -1 copy 2> /dev/null"
if [ -n "$baseline" ]; then
  measure "per-file design folder in place" "rm -rf copy && cp -r folder copy && sync" "$baseline -add -1 copy 2> /dev/null"
  measure "per-file design small folder" "rm -rf copy && cp -r small copy && sync" "$baseline -add -1 copy 2> /dev/null"
  measure "per-file design -add -1 in place 16-bit" "cp in16.fit work.fit && sync" "$baseline -add -1 work.fit 2> /dev/null"
  measure "per-file design -scale 0.7 in place 16-bit" "cp in16.fit work.fit && sync" \
    "$baseline -scale 0.7 work.fit 2> /dev/null"
  measure "per-file design -add -1 -out 16-bit" "rm -f out.fit" "$baseline -add -1 -out out.fit in16.fit 2> /dev/null"
fi
measure "corvane -stretch -out /dev/null 4 GiB" "true" "$corvane -stretch -out /dev/null sparse.fit 2> /dev/null" 3
if command -v imcopy > /dev/null; then
  measure "imcopy [pix X-1] 16-bit" "rm -f out.fit" "imcopy 'in16.fit[pix X>0 ? X-1 : 0]' out.fit > /dev/null" 3
fi
python=""
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c 'import numpy' 2> /dev/null; then python=$candidate; break; fi
done
if [ -n "$python" ]; then
  numpy_script="import numpy as n; a = n.fromfile('in16.fit', dtype='>u2', offset=2880); \
h = open('in16.fit', 'rb').read(2880); f = open('out.fit', 'wb'); f.write(h); (a - n.uint16(1)).astype('>u2').tofile(f)"
  measure "numpy subtract 16-bit" "rm -f out.fit" "$python -c \"$numpy_script\"" 3
fi

# Flush calls (fsync, fdatasync, syncfs) of one run over a copy of folder $2, per file.
flushes_per_file() {  # binary folder count
  rm -rf copy && cp -r "$2" copy && sync
  strace -f -c -e trace=fsync,fdatasync,syncfs -o strace.txt "$1" -add -1 copy 2> /dev/null > /dev/null || true
  awk -v n="$3" '$NF ~ /^(fsync|fdatasync|syncfs)$/ { calls += $4 } END { printf "%.3f", calls / n }' strace.txt
}
flush_counts=""
if command -v strace > /dev/null; then
  flush_counts="corvane: $(flushes_per_file "$corvane" folder "$files") folder, $(flushes_per_file "$corvane" small "$small_files") small"
  if [ -n "$baseline" ]; then
    flush_counts="$flush_counts; per-file design: $(flushes_per_file "$baseline" folder "$files") folder, \
$(flushes_per_file "$baseline" small "$small_files") small"
  fi
fi

# The same folder on a disk whose every flush takes flush_ms: a loop device
# over one file of a FUSE filesystem that waits that long in each fsync.
slow_fs="$build/bench/slow_flush_fs"
if [ "$(id -u)" -eq 0 ] && [ -x "$slow_fs" ] && [ -c /dev/fuse ] && [ -n "$baseline" ]; then
  mkdir -p fuse slow
  truncate -s $(( slow_files * file_kb * 3 / 1024 + 512 ))M backing.img
  "$slow_fs" "$work/backing.img" "$flush_ms" "$work/fuse" > fuse.log 2>&1 &
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e fuse/disk.img ] && break; sleep 0.5; done
  if slow_loop=$(losetup --find --show fuse/disk.img 2> /dev/null) && mkfs.ext4 -q -F "$slow_loop" &&
     mount "$slow_loop" slow; then
    mkdir slow/folder
    for i in $(seq 1 "$slow_files"); do cp one.fit "slow/folder/img$i.fit"; done
    prepare_slow="rm -rf slow/copy && cp -r slow/folder slow/copy && sync"
    echo "On a disk whose flushes take ${flush_ms} ms each, ${slow_files} files:"
    measure "slow: safe rewrite reserved folder" "$prepare_slow" "$safe_rewrite --reserve slow/copy/*" "$slow_runs"
    measure "slow: per-file design folder" "$prepare_slow" "$baseline -add -1 slow/copy 2> /dev/null" "$slow_runs"
    measure "slow: corvane -add -1 folder" "$prepare_slow" "$corvane -add -1 slow/copy 2> /dev/null" "$slow_runs"
  else
    echo "No slow disk here (no loop device or FUSE mount): its cases are left out"
  fi
fi

median() { awk -F, -v n="$1" '$1 == n { print $2 }' "$results"; }
peak() { awk -F, -v n="$1" '$1 == n { print $3 }' "$results"; }
ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN { printf "%.2f", a / b }'; }
spread() { awk -F, -v n="$1" '$1 == n { printf "%.2f", $5 / $4 }' "$results"; }
echo
echo "Ratios (target in brackets):"
echo "  -add -1 -out 16-bit / cp:                  $(ratio "corvane -add -1 -out 16-bit" "cp 16-bit")  [<= 1.3]"
echo "  -add -1 -out 16-bit slowest / fastest:     $(spread "corvane -add -1 -out 16-bit")  [<= 1.3]"
echo "  -scale 0.7 -out 16-bit / cp:               $(ratio "corvane -scale 0.7 -out 16-bit" "cp 16-bit")  [<= 1.6]"
echo "  -scale 0.7 -out 32-bit / cp:               $(ratio "corvane -scale 0.7 -out 32-bit" "cp 32-bit")  [<= 2.2]"
echo "  in place 16-bit / safe rewrite:            $(ratio "corvane -add -1 in place 16-bit" "safe rewrite 16-bit (floor)")  [<= 1.1]"
echo "  folder in place / safe rewrite folder:     $(ratio "corvane -add -1 folder in place" "safe rewrite folder (floor)")  [<= 1.1]"
echo "Against the floors that reserve the copy:"
echo "  reserved / plain safe rewrite 16-bit:      $(ratio "safe rewrite reserved 16-bit (floor)" "safe rewrite 16-bit (floor)")"
echo "  -add -1 in place 16-bit / reserved:        $(ratio "corvane -add -1 in place 16-bit" "safe rewrite reserved 16-bit (floor)")  [<= 1.05]"
echo "  -scale 0.7 in place 16-bit / reserved:     $(ratio "corvane -scale 0.7 in place 16-bit" "safe rewrite reserved 16-bit (floor)")  [<= 1.15]"
echo "  -scale 0.7 in place 32-bit / reserved:     $(ratio "corvane -scale 0.7 in place 32-bit" "safe rewrite reserved 16-bit (floor)")  [<= 1.15]"
echo "  folder in place / reserved folder:         $(ratio "corvane -add -1 folder in place" "safe rewrite reserved folder (floor)")  [<= 1.0]"
if [ -n "$baseline" ]; then
  echo "Group commit against the per-file design (OK before the folder was flushed):"
  echo "  folder in place / per-file design:         $(ratio "corvane -add -1 folder in place" "per-file design folder in place")  [<= 0.9]"
  echo "  small folder / per-file design:            $(ratio "corvane -add -1 small folder" "per-file design small folder")"
  echo "  -add -1 in place 16-bit / per-file design: $(ratio "corvane -add -1 in place 16-bit" "per-file design -add -1 in place 16-bit")  [<= 1.0]"
  echo "  -scale 0.7 in place 16-bit / per-file:     $(ratio "corvane -scale 0.7 in place 16-bit" "per-file design -scale 0.7 in place 16-bit")  [<= 1.0]"
  echo "  -add -1 -out 16-bit / per-file design:     $(ratio "corvane -add -1 -out 16-bit" "per-file design -add -1 -out 16-bit")  [<= 1.0]"
  echo "  small folder / safe rewrite reserved:      $(ratio "corvane -add -1 small folder" "safe rewrite reserved small folder")"
  if [ -n "$slow_loop" ]; then
    echo "  slow disk folder / per-file design:        $(ratio "slow: corvane -add -1 folder" "slow: per-file design folder")  [<= 0.5]"
    echo "  slow disk folder / safe rewrite reserved:  $(ratio "slow: corvane -add -1 folder" "slow: safe rewrite reserved folder")"
  fi
fi
[ -n "$flush_counts" ] && echo "  flush calls per file: $flush_counts"
echo "  largest peak memory of a corvane run:      $(awk -F, '$1 ~ /^corvane/ && $3 > m { m = $3 } END { print m }' "$results") KiB  [<= 16384 KiB]"

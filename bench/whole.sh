#!/usr/bin/env bash
# Whole-process benchmark: corvane on generated images against the floors
# (cp for a new file; for an in-place rewrite the same safe I/O without a
# transform: copy beside, fsync, rename, as bench/safe_rewrite does, with and
# without reserving the copy's size first, as corvane does) and, where
# installed, the alternatives a user would reach for (cfitsio's imcopy, numpy).
# Prints medians, ratios to the floors of the same run, and peak memory.
#   bench/whole.sh BUILD_DIR   (sizes: SIZE_MB=512 FILES=2000 FILE_KB=1200 RUNS=5)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
corvane="$build/corvane"
size_mb=${SIZE_MB:-512}
files=${FILES:-2000}
file_kb=${FILE_KB:-1200}
runs=${RUNS:-5}
work="$build/bench-data"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"

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
mkdir folder
for i in $(seq 1 "$files"); do cp one.fit "folder/img$i.fit"; done
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
echo "  largest peak memory of a corvane run:      $(awk -F, '$1 ~ /^corvane/ && $3 > m { m = $3 } END { print m }' "$results") KiB  [<= 16384 KiB]"

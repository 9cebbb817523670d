#!/usr/bin/env bash
# Rebuilds the seed corpus: header cards for the value parser, and the demo's
# sample files (the same kinds the end-to-end tests build) behind a few
# settings prefixes for the whole repair. The corpus is committed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
examples="$here/../../examples"
rm -rf "$here/corpus"
mkdir -p "$here/corpus/value" "$here/corpus/fixup"
n=0
for card in "BITPIX  =                   16 / bits" "BZERO   =           3.276800E4" "BZERO   = 2147483648" \
            "BZERO     32768" "ORIGIN  = 'Astra Image'" "BZERO=-12" "SIMPLE  =                    T" \
            "BZERO   =  1.5D-3" "BZERO   =           -2147483649"; do
  printf '%-80s' "$card" > "$here/corpus/value/card$((n++))"
done
n=0
for sample in "$examples"/*.fit; do
  # The settings bytes: offset, scale, flags (stretch, force, bzero, -out), padding, bzero value, carried BZERO.
  for knobs in '\x00\x00\x00\x00\x00\x80\x00\x00' '\x01\x01\x01\x03\x10\x80\x00\x00' '\x02\x03\x0a\x05\x00\x00\x00\x00'; do
    { printf "$knobs"; cat "$sample"; } > "$here/corpus/fixup/seed$((n++))"
  done
done

#!/usr/bin/env bash
# Draws a scenario's timeline with kvrsim and renders it with a real SVG
# renderer (rsvg-convert, from librsvg): the picture must render without an
# error or a warning and hold every lane.
#   bash render-check.sh KVRSIM SCENARIO OUTDIR
set -euo pipefail
kvrsim=$1 scenario=$2 out=$3
renderer=$(command -v rsvg-convert || true)
if [ -z "$renderer" ]; then
    echo "rsvg-convert is missing: install librsvg2-bin (bash scripts/install-deps.sh)" >&2
    exit 1
fi
mkdir -p "$out"
svg=$out/timeline.svg png=$out/timeline.png
rm -f "$svg" "$png"
# --quiet: the picture needs no printed transcript.
"$kvrsim" --quiet --timeline "$svg" "$scenario" >/dev/null
status=0
"$renderer" --format png --output "$png" "$svg" 2>"$out/render.err" || status=$?
if [ "$status" != 0 ] || [ -s "$out/render.err" ]; then
    echo "rsvg-convert complained:" >&2
    cat "$out/render.err" >&2
    exit 1
fi
[ -s "$png" ] || { echo "no picture rendered" >&2; exit 1; }
missing=0
for lane in connection link mode pnp request-1 request-4 request-6 request-7 registry control \
            power power-state display verdicts; do
    grep -q "<g id=\"lane-$lane\" class=\"lane\">" "$svg" || { echo "lane $lane missing" >&2; missing=1; }
done
for mark in "sent, left pending" "completed late" "skipped while busy" "value changed" \
            "same bytes rewritten"; do
    grep -q "<title>[^<]*[0-9] $mark" "$svg" || { echo "no '$mark' mark" >&2; missing=1; }
done
[ "$missing" = 0 ]
echo "rendered $(stat -c %s "$png") bytes of PNG from $(stat -c %s "$svg") bytes of SVG, every lane there"

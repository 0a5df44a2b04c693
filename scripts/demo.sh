#!/usr/bin/env bash
# Builds wavgrid and gridtool, generates a small sample terrain grid with
# no-data holes, filters it with a 5 x 5 window and renders previews of the
# grid before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j 2 --target wavgrid wavgrid-make gridtool > /dev/null

mkdir -p demo
build/gridtool make demo/sample.grd --rows 60 --cols 80 --seed 7 --holes 0.4
echo "sample grid:   demo/sample.grd (60 rows x 80 columns, some cells empty)"
echo "running:       build/wavgrid demo/sample.grd demo/sample-mean5.grd 5"
build/wavgrid demo/sample.grd demo/sample-mean5.grd 5
echo "filtered grid: demo/sample-mean5.grd ($(stat -c %s demo/sample-mean5.grd) bytes)"

echo "previews (PNG, empty cells transparent):"
build/gridtool render demo/sample.grd demo/sample.png --hillshade --width 400 > /dev/null
build/gridtool render demo/sample-mean5.grd demo/sample-mean5.png --hillshade --width 400 > /dev/null
build/gridtool render demo/sample.grd demo/before-after.png --beside demo/sample-mean5.grd --hillshade \
  --width 820 > /dev/null
echo "  before:       $PWD/demo/sample.png"
echo "  after:        $PWD/demo/sample-mean5.png"
echo "  side by side: $PWD/demo/before-after.png"

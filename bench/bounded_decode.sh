#!/usr/bin/env bash
# What the bound on the Lepton and preflate decoders costs, and what they need: per real file (the transform
# tests' samples, larger JPEGs made by cjpeg up to 4096x4096, PNGs, gzip files of 1 to 32 MiB, a ZIP) the smallest
# memory limit under which it still rebuilds, the processor time per MiB, and the time of a decode in process
# against a bounded one, over paired rounds in alternating order (ratio = bounded / in process, median).
# Figures are printed, never checked.
#   bench/bounded_decode.sh [build dir, default build] [rounds, default 7]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
rounds="${2:-7}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cargo_dir="$(sed -n 's/^IXO_CARGO_TARGET_DIR:PATH=//p' "$build/CMakeCache.txt")"
[ -n "$cargo_dir" ] || cargo_dir="$build/cargo"
g++ -std=c++23 -O2 -DNDEBUG -I"$root/src" -I"$root/tests" -I"$root/bridge/include" \
  -DIXO_TRANSFORM_DATA="\"$root/tests/transform/data\"" \
  "$root/bench/bounded_decode_bench.cpp" "$root/tests/transform/sample_files.cpp" \
  "$build/src/libixo.a" "$build/engine/libixo_cm.a" "$cargo_dir/release/libixo_bridge.a" \
  -lgtest -lzstd -llzma -lz -luring -ldl -lm -pthread -o "$work/bounded_decode_bench"

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); load $(cut -d' ' -f1-3 /proc/loadavg)"
"$work/bounded_decode_bench" "$rounds"

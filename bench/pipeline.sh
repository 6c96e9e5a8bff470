#!/usr/bin/env bash
# Decode throughput of test runs (every file rebuilt and verified) through the extraction pipeline with 1 and
# 2 workers, over zstd and lzma2 archives of real files, next to `zstd -d` and `xz -d` of the same stored
# blocks on this machine; then -j 2 against -j 1 over an archive of modelled cm blocks (paired rounds, median of
# the ratios; IXO_BENCH_CM_BLOCKS blocks of 1 MiB, default 6); then the peak memory of a test run over 1 GiB of
# chunks repeated across 64 MiB blocks.
# Figures are printed, never checked.
#   bench/pipeline.sh [build dir, default build] [folder, default /usr/lib/gcc] [MiB of it, default 128] [rounds, default 3]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
folder="${2:-/usr/lib/gcc}"
mib="${3:-128}"
rounds="${4:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The driver is compiled against this tree's headers, so the libraries must be built from it too:
# a stale build would link objects of another layout.
cmake --build "$build" --target ixo ixo_cm ixo_test_support >/dev/null
cargo_dir="$(sed -n 's/^IXO_CARGO_TARGET_DIR:PATH=//p' "$build/CMakeCache.txt")"
[ -n "$cargo_dir" ] || cargo_dir="$build/cargo"
g++ -std=c++23 -O2 -DNDEBUG -I"$root/src" -I"$root/tests" -I"$root/bridge/include" -I"$root/engine/src" \
  -I"$root/tests/engine" "$root/bench/pipeline_bench.cpp" "$root/tests/engine/cm_encoder.cpp" \
  "$build/tests/support/libixo_test_support.a" "$build/src/libixo.a" "$build/engine/libixo_cm.a" \
  "$cargo_dir/release/libixo_bridge.a" -lzstd -llzma -lz -ldl -lm -pthread -o "$work/pipeline_bench"

now() { date +%s.%N; }
# Best wall time of $rounds runs of a command.
best_of() {
  local best="" t0 t1 s
  for _ in $(seq "$rounds"); do
    t0="$(now)"; "$@" >/dev/null; t1="$(now)"
    s="$(echo "$t1 - $t0" | bc -l)"
    if [ -z "$best" ] || [ "$(echo "$s < $best" | bc -l)" = 1 ]; then best="$s"; fi
  done
  echo "$best"
}
mbps() { echo "scale=1; $1 / $2 / 1000000" | bc -l; }

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "data: the first $mib MiB of regular files under $folder (name order)"
for codec in zstd lzma2; do
  level=3; [ "$codec" = lzma2 ] && level=6
  "$work/pipeline_bench" pack "$folder" "$work/$codec.ixo" "$codec" "$level" "$mib"
  raw="$("$work/pipeline_bench" blocks "$work/$codec.ixo" "$work/$codec.blocks")"
  if [ "$codec" = zstd ]; then
    tool="zstd -d"; secs="$(best_of zstd -d -c -q "$work/$codec.blocks")"
  else
    tool="xz -d -T1"; secs="$(best_of xz -d -c -T1 "$work/$codec.blocks")"
  fi
  tool_mbps="$(mbps "$raw" "$secs")"
  echo "$codec: $tool of the same blocks: $tool_mbps MB/s"
  for j in 1 2; do
    line="$("$work/pipeline_bench" test "$work/$codec.ixo" "$j" "$rounds" | head -1)"
    pipe_mbps="$(echo "$line" | sed -n 's/^-j[0-9]*: \([0-9.]*\) MB\/s.*/\1/p')"
    echo "  pipeline $line"
    echo "  ratio pipeline -j$j / $tool: $(echo "scale=2; $pipe_mbps / $tool_mbps" | bc -l)"
  done
  rm -f "$work/$codec.blocks"
done

# cm: every block is a full model decode, the slowest path; the workers should scale with the cores.
cm_blocks="${IXO_BENCH_CM_BLOCKS:-6}"
{ find /usr/include/c++ -type f -name '*.h' -print0 | sort -z | xargs -0 cat; } 2>/dev/null |
  head -c "$((cm_blocks << 20))" >"$work/cm.text" || true
"$work/pipeline_bench" cm "$work/cm.text" "$work/cm.ixo" "$cm_blocks"
secs_of() { "$work/pipeline_bench" test "$work/cm.ixo" "$1" 1 | sed -n 's/.*best of 1: \([0-9.]*\)s.*/\1/p'; }
ratios=""
for r in $(seq "$rounds"); do
  if [ $((r % 2)) -eq 1 ]; then one="$(secs_of 1)"; two="$(secs_of 2)"; else two="$(secs_of 2)"; one="$(secs_of 1)"; fi
  echo "  cm round $r: -j1 ${one}s, -j2 ${two}s"
  ratios+="$(echo "$one / $two" | bc -l)"$'\n'
done
echo "cm: -j2 against -j1, median of $rounds paired rounds: $(printf '%s' "$ratios" | sort -g |
  awk '{v[NR] = $1} END {printf "%.2fx", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}') faster"

echo "memory: test runs over 1 GiB of decoded data in 64 MiB blocks, chunks repeated across blocks"
"$work/pipeline_bench" dedup "$work/dedup.ixo"
for j in 1 2 8; do "$work/pipeline_bench" test "$work/dedup.ixo" "$j" 1; done

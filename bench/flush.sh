#!/usr/bin/env bash
# How small files reach stable storage: the flush calls a run of 20,000 small files makes, and the run's time on
# the disk while another process writes a large file to the same file system, in paired rounds against a second
# program (an older build). syncfs waits for the other writer's data as well, which is what this measures. Figures
# are printed, never checked.
#   bench/flush.sh [build dir, default build] [older ixo-extract] [rounds, default 5] [MiB the other writer
#                  writes, default 2048]
# The build folder needs the program and the test tools (ixo-pack), so a build with tests.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
older="${2:-}"
rounds="${3:-5}"
busy_mib="${4:-2048}"
extract="$build/src/ixo-extract"
pack="$build/tests/support/ixo-pack"
[ -x "$extract" ] && [ -x "$pack" ] || { echo "needs $extract and $pack (a build with tests)" >&2; exit 2; }
[ -z "$older" ] || [ -x "$older" ] || { echo "no program at $older" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
echo "file system of $work: $(df -T "$work" | awk 'NR == 2 {print $2}'); load average $(cut -d' ' -f1-3 /proc/loadavg)"

# 20,000 files of 200 to 8,000 bytes, 100 to a folder, cut from the bytes of /usr/lib.
python3 "$root/bench/small_tree.py" /usr/lib "$work/small" 20000
"$pack" --codec zstd --level 3 --block-size 16M "$work/small" "$work/small.ixo"

# Counted by the kernel's tracepoints where perf reads them, else by strace, whose slowness makes more groups end
# by their age.
flush_calls=(fsync fdatasync syncfs io_uring_enter)
count_calls() {  # program: prints "call count; " for each call made
  if perf stat -e syscalls:sys_enter_syncfs -x, -o /dev/null true 2>/dev/null; then
    local events
    events="$(printf 'syscalls:sys_enter_%s,' "${flush_calls[@]}")"
    perf stat -e "${events%,}" -x, -o "$work/counts" "$1" "$work/small.ixo" "$work/out" >/dev/null 2>&1
    awk -F, '$3 ~ /sys_enter_/ && $1 > 0 {sub(/.*sys_enter_/, "", $3); printf "%s %s; ", $3, $1}' "$work/counts"
  elif command -v strace >/dev/null; then
    strace -f -c -e trace="$(IFS=,; echo "${flush_calls[*]}")" -o "$work/strace" "$1" "$work/small.ixo" "$work/out" \
      >/dev/null 2>&1
    awk '$NF ~ /^(fsync|fdatasync|syncfs|io_uring_enter)$/ {printf "%s %s (strace); ", $NF, $4}' "$work/strace"
  fi
}
for program in "$extract" ${older:+"$older"}; do
  rm -rf "$work/out"
  sync
  calls="$(count_calls "$program")"
  echo "system calls that flush, 20,000 files, $(basename "$(dirname "$(dirname "$program")")"): ${calls:-none}"
done
echo "  (flushes through io_uring show as io_uring_enter calls, several requests a call)"

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# Seconds of one run while the other writer writes busy_mib MiB (started just before, stopped and removed after).
busy_once() {
  rm -rf "$work/out" "$work/busy"
  sync
  dd if=/dev/zero of="$work/busy" bs=1M count="$busy_mib" status=none &
  local writer=$! start end
  sleep 0.5
  start=$(date +%s%N)
  "$1" "$work/small.ixo" "$work/out" >/dev/null 2>&1
  end=$(date +%s%N)
  kill "$writer" 2>/dev/null || true
  wait "$writer" 2>/dev/null || true
  echo "scale=4; ($end - $start) / 1000000000" | bc -l
}

[ -n "$older" ] || { echo "no older program given: no busy-disk rounds"; exit 0; }
ours=() old=()
for ((r = 0; r < rounds; r++)); do
  if ((r % 2 == 0)); then
    ours+=("$(busy_once "$extract")")
    old+=("$(busy_once "$older")")
  else
    old+=("$(busy_once "$older")")
    ours+=("$(busy_once "$extract")")
  fi
done
ratio="$(for ((r = 0; r < rounds; r++)); do echo "${old[$r]} / ${ours[$r]}" | bc -l; done | median)"
printf 'busy disk (another writer of %s MiB): ours %.3f s, older %.3f s (medians); older/ours %.2fx\n' "$busy_mib" \
  "$(printf '%s\n' "${ours[@]}" | median)" "$(printf '%s\n' "${old[@]}" | median)" "$ratio"
rm -rf "$work/out" "$work/busy"

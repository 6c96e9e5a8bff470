#!/usr/bin/env bash
# Whole-program figures on this machine, measured in paired rounds: `ixo-extract` against `tar -I zstd -xf` of the
# same tree (followed by `sync` on the disk; on tmpfs, /dev/shm, without), and `ixo-extract -t` against
# `zstd -d` of the same tree's .tar.zst, for a tree of real large files and a tree of 20,000 small files. The
# disk is shared and its speed swings from minute to minute, so every round runs each command once, after the same
# clean-up (`rm -rf` of the output and `sync`), the order turning from round to round; a row gives the median over
# the rounds of the per-round ratio (the yardstick's seconds / ours: above 1 is faster than it) and the median
# seconds and peak memory of each command. Given a second program (an older build), it runs in the same rounds and
# a last column compares the two. Figures are printed, never checked.
#   bench/extract.sh [build dir, default build] [folder of large files, default /usr/lib] [MiB of it, default 256]
#                    [rounds, default 5] [older ixo-extract to compare, optional]
# The build folder needs the program and the test tools (ixo-pack), so a build with tests. The large tree is
# packed in 16 MiB zstd blocks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
folder="${2:-/usr/lib}"
mib="${3:-256}"
rounds="${4:-5}"
older="${5:-}"
small_files=20000
extract="$build/src/ixo-extract"
pack="$build/tests/support/ixo-pack"
[ -x "$extract" ] && [ -x "$pack" ] || { echo "needs $extract and $pack (a build with tests)" >&2; exit 2; }
[ -z "$older" ] || [ -x "$older" ] || { echo "no program at $older" >&2; exit 2; }
work="$(mktemp -d)"
shm="$(mktemp -d /dev/shm/ixo-bench-XXXXXX)"
trap 'rm -rf "$work" "$shm"' EXIT

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "file system of $work: $(df -T "$work" | awk 'NR == 2 {print $2}'); of $shm: $(df -T "$shm" | awk 'NR == 2 {print $2}')"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# Large tree: regular files of at least 1 MiB under $folder, in name order, up to $mib MiB, in their folders.
mkdir "$work/large"
find "$folder" -type f -size +1M -print0 2>/dev/null | sort -z |
  while IFS= read -r -d '' f; do
    total=$(du -sm "$work/large" | cut -f1)
    [ "$total" -ge "$mib" ] && break
    rel="${f#"$folder"/}"
    mkdir -p "$work/large/$(dirname "$rel")"
    cp -p "$f" "$work/large/$rel"
  done

# Small tree: 20,000 files of 200 to 8,000 bytes cut from the large tree's bytes, 100 to a folder.
python3 "$root/bench/small_tree.py" "$work/large" "$work/small" "$small_files"

bytes_of() { du -sb --apparent-size "$1" | cut -f1; }
files_of() { find "$1" -type f | wc -l; }

# Runs the command in $1 once with its output thrown away, after clearing the folder $2 (and `sync`); prints
# "seconds peak-KiB".
once() {
  rm -rf "$2"
  mkdir "$2"
  sync
  local start end kb
  start=$(date +%s%N)
  kb="$(/usr/bin/time -f '%M' sh -c "$1" 2>&1 >/dev/null | tail -1)"
  end=$(date +%s%N)
  echo "$(echo "scale=4; ($end - $start) / 1000000000" | bc -l) $kb"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# row NAME OUT-FOLDER YARDSTICK-COMMAND OURS-COMMAND [OLDER-COMMAND]: paired rounds, the order turning each round.
row() {
  local name="$1" out="$2" yard="$3" ours="$4" old="${5:-}"
  local -a cmds=("$yard" "$ours")
  [ -n "$old" ] && cmds+=("$old")
  local n=${#cmds[@]} r i k
  local -a secs kbs
  for ((r = 0; r < rounds; r++)); do
    for ((k = 0; k < n; k++)); do
      i=$(((k + r) % n))
      read -r s kb < <(once "${cmds[$i]}" "$out")
      secs[$((r * n + i))]="$s"
      kbs[$((r * n + i))]="$kb"
    done
  done
  rm -rf "$out"
  local ratio="" ratio_old="" gain="" med_s med_kb
  ratio="$(for ((r = 0; r < rounds; r++)); do echo "${secs[$((r * n))]} / ${secs[$((r * n + 1))]}" | bc -l; done | median)"
  printf '  %-34s ours %6.2fx' "$name" "$ratio"
  if [ -n "$old" ]; then
    ratio_old="$(for ((r = 0; r < rounds; r++)); do echo "${secs[$((r * n))]} / ${secs[$((r * n + 2))]}" | bc -l; done | median)"
    gain="$(for ((r = 0; r < rounds; r++)); do echo "${secs[$((r * n + 2))]} / ${secs[$((r * n + 1))]}" | bc -l; done | median)"
    printf '  older %6.2fx  ours/older %5.2fx faster' "$ratio_old" "$gain"
  fi
  printf '\n   '
  local labels=("yardstick" "ours" "older")
  for ((i = 0; i < n; i++)); do
    med_s="$(for ((r = 0; r < rounds; r++)); do echo "${secs[$((r * n + i))]}"; done | median)"
    med_kb="$(for ((r = 0; r < rounds; r++)); do echo "${kbs[$((r * n + i))]}"; done | median)"
    printf ' %s %.3f s %.1f MiB peak;' "${labels[$i]}" "$med_s" "$(echo "$med_kb / 1024" | bc -l)"
  done
  printf '\n'
}

for tree in large small; do
  bytes="$(bytes_of "$work/$tree")"
  files="$(files_of "$work/$tree")"
  echo "$tree tree: $files files, $(echo "scale=1; $bytes / 1000000" | bc -l) MB"
  (cd "$work/$tree" && tar -cf - . | zstd -3 -q -T1 -o "$work/$tree.tar.zst")
  "$pack" --codec zstd --level 3 --block-size 16M "$work/$tree" "$work/$tree.ixo"
  echo "  sizes: tar.zst $(bytes_of "$work/$tree.tar.zst"), ixo $(bytes_of "$work/$tree.ixo"); ratios are the yardstick's seconds / ours"
  a="$work/$tree.ixo"
  z="$work/$tree.tar.zst"
  for place in disk tmpfs; do
    if [ "$place" = disk ]; then base="$work/out" sync_cmd=" && sync"; else base="$shm/out" sync_cmd=""; fi
    row "extract on $place vs tar -I zstd -xf${sync_cmd:+ + sync}" "$base" \
      "tar -I zstd -xf '$z' -C '$base'$sync_cmd" \
      "'$extract' '$a' '$base/x'$sync_cmd" \
      "${older:+"'$older' '$a' '$base/x'$sync_cmd"}"
  done
  row "-t vs zstd -d of the .tar.zst" "$work/out" \
    "zstd -d -q -c '$z' > /dev/null" \
    "'$extract' -t '$a'" \
    "${older:+"'$older' -t '$a'"}"
  rm -f "$a" "$z"
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

#!/usr/bin/env bash
# Whole-program figures on this machine, in one run: `ixo-extract` (extract, and `-t`) against `tar -I zstd -xf` and
# `tar -xJf` of the same tree, for a tree of real large files and a tree of 20,000 small files. Every extraction,
# ours and tar's, is followed by `sync` (ours also flushes each file before it links it). Best of the rounds: wall
# seconds, MB/s of the tree's bytes, files/s, and the peak memory of the whole command. Figures are printed, never
# checked.
#   bench/extract.sh [build dir, default build] [folder of large files, default /usr/lib] [MiB of it, default 256]
#                    [rounds, default 2]
# The build folder needs the program and the test tools (ixo-pack), so a build with tests. Extracting the small
# tree costs one flush to stable storage per file, so on a slow disk that row takes minutes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
folder="${2:-/usr/lib}"
mib="${3:-256}"
rounds="${4:-2}"
small_files=20000
extract="$build/src/ixo-extract"
pack="$build/tests/support/ixo-pack"
[ -x "$extract" ] && [ -x "$pack" ] || { echo "needs $extract and $pack (a build with tests)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "file system of $work: $(df -T "$work" | awk 'NR == 2 {print $2}')"

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
python3 - "$work/large" "$work/small" "$small_files" <<'PY'
import os, sys, random
src, dst, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = bytearray()
for d, _, names in sorted(os.walk(src)):
    for n in sorted(names):
        with open(os.path.join(d, n), 'rb') as f:
            data += f.read(1 << 20)
        if len(data) >= 64 << 20: break
rng = random.Random(1)
for i in range(count):
    folder = os.path.join(dst, 'd%03d' % (i // 100))
    os.makedirs(folder, exist_ok=True)
    size = rng.randint(200, 8000)
    at = rng.randrange(0, len(data) - size)
    with open(os.path.join(folder, 'f%05d' % i), 'wb') as f:
        f.write(data[at:at + size])
PY

bytes_of() { du -sb --apparent-size "$1" | cut -f1; }
files_of() { find "$1" -type f | wc -l; }

# Runs "$@" rounds times after clearing $work/out; prints "seconds peak-KiB" of the fastest round.
best() {
  local best_s="" best_kb="" line s kb
  for _ in $(seq "$rounds"); do
    rm -rf "$work/out"
    mkdir "$work/out"
    sync
    line="$(/usr/bin/time -f '%e %M' sh -c "$1" 2>&1 >/dev/null | tail -1)"
    s="${line% *}"
    kb="${line#* }"
    if [ -z "$best_s" ] || [ "$(echo "$s < $best_s" | bc -l)" = 1 ]; then best_s="$s"; best_kb="$kb"; fi
  done
  echo "$best_s $best_kb"
}

row() {  # name, "seconds kib", bytes, files, reference seconds (or empty)
  local s="${2% *}" kb="${2#* }" ratio=""
  [ "$(echo "$s < 0.01" | bc -l)" = 1 ] && s=0.01
  [ -n "$5" ] && ratio="$(echo "scale=2; $5 / $s" | bc -l)x"
  printf '  %-28s %7.2f s %9.1f MB/s %9.0f files/s %8.1f MiB peak  %s\n' "$1" "$s" \
    "$(echo "$3 / $s / 1000000" | bc -l)" "$(echo "$4 / $s" | bc -l)" "$(echo "$kb / 1024" | bc -l)" "$ratio"
}

for tree in large small; do
  bytes="$(bytes_of "$work/$tree")"
  files="$(files_of "$work/$tree")"
  echo "$tree tree: $files files, $(echo "scale=1; $bytes / 1000000" | bc -l) MB"
  (cd "$work/$tree" && tar -cf - . | zstd -3 -q -T1 -o "$work/$tree.tar.zst")
  (cd "$work/$tree" && tar -cf - . | xz -6 -T1 > "$work/$tree.tar.xz")
  "$pack" --codec zstd --level 3 "$work/$tree" "$work/$tree-zstd.ixo"
  "$pack" --codec lzma2 --level 6 "$work/$tree" "$work/$tree-lzma2.ixo"
  echo "  sizes: tar.zst $(bytes_of "$work/$tree.tar.zst"), ixo zstd $(bytes_of "$work/$tree-zstd.ixo"), tar.xz $(bytes_of "$work/$tree.tar.xz"), ixo lzma2 $(bytes_of "$work/$tree-lzma2.ixo")"
  echo "  (the last column: tar's seconds / this command's; above 1 is faster than tar)"

  tar_zst="$(best "tar -I zstd -xf '$work/$tree.tar.zst' -C '$work/out' && sync")"
  row "tar -I zstd -xf + sync" "$tar_zst" "$bytes" "$files" ""
  ixo_zst="$(best "'$extract' '$work/$tree-zstd.ixo' '$work/out/x' && sync")"
  row "ixo-extract (zstd) + sync" "$ixo_zst" "$bytes" "$files" "${tar_zst% *}"
  ixo_zst_t="$(best "'$extract' -t '$work/$tree-zstd.ixo'")"
  row "ixo-extract -t (zstd)" "$ixo_zst_t" "$bytes" "$files" "${tar_zst% *}"

  tar_xz="$(best "tar -xJf '$work/$tree.tar.xz' -C '$work/out' && sync")"
  row "tar -xJf + sync" "$tar_xz" "$bytes" "$files" ""
  ixo_xz="$(best "'$extract' '$work/$tree-lzma2.ixo' '$work/out/x' && sync")"
  row "ixo-extract (lzma2) + sync" "$ixo_xz" "$bytes" "$files" "${tar_xz% *}"
  ixo_xz_t="$(best "'$extract' -t '$work/$tree-lzma2.ixo'")"
  row "ixo-extract -t (lzma2)" "$ixo_xz_t" "$bytes" "$files" "${tar_xz% *}"
  rm -f "$work/$tree"*.ixo "$work/$tree".tar.*
done

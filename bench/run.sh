#!/usr/bin/env bash
# Times harrow-cli against its peers on the same image, in the same run, and prints the ratios.
#
# Usage: bench/run.sh HARROW_CLI [BENCHMARK...]     (default: every benchmark below)
#
# Images are built once and kept in $HARROW_BENCH_CACHE (default bench/.cache, ignored by git);
# delete it to rebuild them. Each command runs once untimed so that the image is in the page
# cache, then $BENCH_RUNS times (default 5); the median counts. A figure is only meaningful next
# to the other figures of the same run, on the same machine.
#
# A benchmark is a function bench_NAME that prints one line:
#   WHAT: harrow X s, PEER Y s, ratio X/Y
# and is listed in `benchmarks` at the end.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 HARROW_CLI [BENCHMARK...]" >&2
  exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cli=$(realpath "$1")
shift
[ -x "$cli" ] || { echo "bench: $cli is not an executable" >&2; exit 1; }
cache=${HARROW_BENCH_CACHE:-$here/.cache}
runs=${BENCH_RUNS:-5}
mkdir -p "$cache"

export TZ=UTC LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
  done
}

now() { date +%s.%N; }

# seconds_since START: elapsed wall time, 3 decimals.
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }

# median_time CMD...: runs CMD once to warm the cache (it must succeed), then $runs times with
# its output thrown away; prints the median wall time in seconds. A command that fails is not
# timed: a quick failure would pass for a quick run.
median_time() {
  "$@" > /dev/null || { echo "bench: failed: $*" >&2; exit 1; }
  local i start times=()
  for ((i = 0; i < runs; i++)); do
    start=$(now)
    "$@" > /dev/null
    times+=("$(seconds_since "$start")")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.3f", NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# ---------------------------------------------------------------------------------------------
# Images

# fat32_tree_image: prints the path of a FAT32 volume holding $tree_files small files in
# $tree_dirs directories (every fifth directory and every fourth file with a long name), the
# shape of a document or photo share. Contents are blanks: listing never reads them.
tree_files=20000
tree_dirs=300
fat32_tree_image() {
  local img="$cache/fat32-tree-$tree_files.img"
  if [ -f "$img" ]; then
    echo "$img"
    return
  fi
  need mkfs.fat mcopy
  local start work
  start=$(now)
  work=$(mktemp -d "$cache/build.XXXXXX")
  mkdir "$work/tree"
  (
    # Builtins only: a fork per file would make this take minutes instead of seconds.
    cd "$work/tree"
    RANDOM=7
    local d f n=0 dir name per=$(((tree_files + tree_dirs - 1) / tree_dirs))
    for ((d = 1; d <= tree_dirs; d++)); do
      if ((d % 5 == 0)); then dir="Project folder $d"; else printf -v dir 'DIR%04d' "$d"; fi
      mkdir "$dir"
      for ((f = 1; f <= per && n < tree_files; f++, n++)); do
        if ((f % 4 == 0)); then
          name="$dir/Quarterly report number $f of folder $d.txt"
        else
          printf -v name '%s/F%05d.TXT' "$dir" "$f"
        fi
        printf '%*s' $((RANDOM % 3000 + 1)) '' > "$name"
      done
    done
  )
  # 4 KiB clusters, as on most FAT32 volumes; 300 MiB keeps the cluster count well above the
  # FAT32 minimum. The file is sparse where nothing was written.
  printf 'MTOOLS_SKIP_CHECK=1\nMTOOLS_NO_VFAT=0\n' > "$work/mtoolsrc"
  mkfs.fat -C -F 32 -S 512 -s 8 -n BENCH -i 20240101 --invariant "$work/image" $((300 * 1024)) > /dev/null
  # One mcopy for the whole tree: mtools keeps the volume open instead of reopening it per file.
  (cd "$work/tree" && MTOOLSRC="$work/mtoolsrc" HOME="$work" mcopy -s -Q -i "$work/image" ./* ::/)
  mv "$work/image" "$img"
  rm -rf "$work"
  echo "bench: built $(basename "$img") in $(seconds_since "$start") s" >&2
  echo "$img"
}

# ---------------------------------------------------------------------------------------------
# Benchmarks

# Recursive listing of a whole volume, against The Sleuth Kit's fls.
bench_fat32_ls() {
  need fls
  local img harrow_s fls_s harrow_lines fls_lines harrow_entries fls_entries
  img=$(fat32_tree_image)
  harrow_s=$(median_time "$cli" ls "$img" -r)
  fls_s=$(median_time fls -r "$img")

  # Both must have listed the same volume for the times to compare. harrow-cli shows the "." and
  # ".." of every directory; fls shows the volume label and its virtual files ($MBR, $FAT1,
  # $FAT2, $OrphanFiles). Without those both count every file and directory once.
  harrow_lines=$("$cli" ls "$img" -r | wc -l)
  fls_lines=$(fls -r "$img" | wc -l)
  harrow_entries=$("$cli" ls "$img" -r | grep -cvE '/\.\.?$' || true)
  fls_entries=$(fls -r "$img" | grep -cvE '^[vV]/[vV] |\(Volume Label Entry\)$' || true)
  printf 'fat32 ls -r (%d files): harrow %s s, fls %s s, ratio %s\n' \
    "$tree_files" "$harrow_s" "$fls_s" "$(ratio "$harrow_s" "$fls_s")"
  printf '  lines listed: harrow %d, fls %d; files and directories: harrow %d, fls %d%s\n' \
    "$harrow_lines" "$fls_lines" "$harrow_entries" "$fls_entries" \
    "$([ "$harrow_entries" -eq "$fls_entries" ] || echo '  (MISMATCH: the times do not compare)')"
}

benchmarks=(fat32_ls)

chosen=("${benchmarks[@]}")
[ $# -gt 0 ] && chosen=("$@")
for b in "${chosen[@]}"; do
  declare -F "bench_$b" > /dev/null || { echo "bench: no benchmark $b (have: ${benchmarks[*]})" >&2; exit 2; }
done
echo "bench: $cli, median of $runs runs, page cache warm"
for b in "${chosen[@]}"; do "bench_$b"; done

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
. "$here/../scripts/ntfs3g.sh"
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

# write_tree DIR: $tree_files small files in $tree_dirs directories under DIR (every fifth
# directory and every fourth file with a long name), the shape of a document or photo share.
# Contents are blanks: listing never reads them.
tree_files=20000
tree_dirs=300
write_tree() {
  (
    # Builtins only: a fork per file would make this take minutes instead of seconds.
    cd "$1"
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
}

# fat32_tree_image: prints the path of a FAT32 volume holding the tree of write_tree.
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
  write_tree "$work/tree"
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

# NTFS images are filled through the ntfs-3g FUSE driver, which needs root and /dev/fuse. Once
# built they are kept, and using them needs neither.
can_mount_ntfs() { ! ntfs3g_unusable > /dev/null; }

ntfs_mount() {
  ntfs3g_mount "$1" "$2" "$2.log" big_writes ||
    { echo "bench: ntfs-3g cannot mount $1: $(ntfs3g_last_word "$2.log")" >&2; exit 1; }
}

# new_ntfs IMG MIB: a sparse image formatted by mkntfs with 4 KiB clusters, the default of
# volumes this size and larger (-T: fixed serial number and times).
new_ntfs() {
  truncate -s "$2M" "$1"
  mkntfs -F -Q -T -s 512 -c 4096 -L BENCH -p 0 -H 0 -S 0 "$1" > "$1.log" 2>&1 ||
    { cat "$1.log" >&2; echo "bench: mkntfs failed" >&2; exit 1; }
}

# ntfs_image NAME MIB FILL: prints the path of the cached image NAME.img, first building it when
# missing: formatted, mounted, filled by the function FILL (given the mount point), unmounted.
# Fails (prints nothing) when it must be built and cannot be.
ntfs_image() {
  local img="$cache/$1.img"
  if [ -f "$img" ]; then
    echo "$img"
    return
  fi
  need mkntfs
  if ! can_mount_ntfs; then
    echo "bench: $1.img needs building, which takes root and /dev/fuse for ntfs-3g" >&2
    return 1
  fi
  local start
  start=$(now)
  # Not local: the trap may run after this function has returned. It runs in the command
  # substitution's subshell, and leaves no mount and no half-built image behind.
  ntfs_work=$(mktemp -d "$cache/build.XXXXXX")
  trap 'ntfs3g_unmount; rm -rf "$ntfs_work"' EXIT
  new_ntfs "$ntfs_work/image" "$2"
  ntfs_mount "$ntfs_work/image" "$ntfs_work/mnt"
  "$3" "$ntfs_work/mnt"
  ntfs3g_unmount
  mv "$ntfs_work/image" "$img"
  rm -rf "$ntfs_work"
  echo "bench: built $1.img in $(seconds_since "$start") s, $(du -m "$img" | cut -f1) MiB on disk of $2 MiB" >&2
  echo "$img"
}

# 300 MiB: the tree takes about 60 MiB of clusters and 20 MiB of MFT.
ntfs_tree_image() { ntfs_image "ntfs-tree-$tree_files" 300 write_tree; }

# One file of 1 GiB written in 1 MiB pieces: one MiB of seeded random bytes over and over, each
# 4 KiB block stamped with its own number, so that a block read from the wrong place changes the
# hash. Cheap to make, the same on every build.
big_mib=1024
write_big() {
  python3 -c '
import random, sys
random.seed(1)
piece = bytearray(random.randbytes(1 << 20))
with open(sys.argv[1], "wb") as f:
    for mib in range(int(sys.argv[2])):
        for block in range(256):
            piece[block * 4096:block * 4096 + 16] = b"block %09d\n" % (mib * 256 + block)
        f.write(piece)
' "$1/big.bin" "$big_mib"
}
ntfs_big_image() { ntfs_image ntfs-big-file 1200 write_big; }

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

# The same on NTFS: every directory through its index, every entry's record for its size and
# attributes.
bench_ntfs_ls() {
  need fls
  local img harrow_s fls_s harrow_lines fls_lines harrow_entries fls_entries
  if ! img=$(ntfs_tree_image); then
    echo "ntfs ls -r: skipped (no image)"
    return
  fi
  harrow_s=$(median_time "$cli" ls "$img" -r)
  fls_s=$(median_time fls -r "$img")

  # harrow-cli shows the "." and ".." of every directory below the root. fls shows the system
  # files ($MFT ... and what $Extend holds), $OrphanFiles with a virtual file per unnamed record,
  # and names it finds deleted in index slack (marked "*"); harrow-cli lists none of these.
  harrow_lines=$("$cli" ls "$img" -r | wc -l)
  fls_lines=$(fls -r "$img" | wc -l)
  harrow_entries=$("$cli" ls "$img" -r | grep -cvE '/\.\.?$' || true)
  fls_entries=$(fls -r "$img" | grep -vE '^[+ ]*[^ ]+ \* ' | grep -cvE $':\t\\$' || true)
  printf 'ntfs ls -r (%d files): harrow %s s, fls %s s, ratio %s\n' \
    "$tree_files" "$harrow_s" "$fls_s" "$(ratio "$harrow_s" "$fls_s")"
  printf '  lines listed: harrow %d, fls %d; files and directories: harrow %d, fls %d%s\n' \
    "$harrow_lines" "$fls_lines" "$harrow_entries" "$fls_entries" \
    "$([ "$harrow_entries" -eq "$fls_entries" ] || echo '  (MISMATCH: the times do not compare)')"
}

# Reading one large file whole, against The Sleuth Kit's icat (by record number), with reading
# the image itself for scale.
bench_ntfs_cat() {
  need icat ifind sha256sum python3
  local img inode harrow_s icat_s image_s harrow_sum icat_sum runs=3
  if ! img=$(ntfs_big_image); then
    echo "ntfs cat: skipped (no image)"
    return
  fi
  inode=$(ifind -n /big.bin "$img")
  harrow_s=$(median_time "$cli" cat "$img" /big.bin)
  icat_s=$(median_time icat "$img" "$inode")
  image_s=$(median_time cat "$img")

  # Both must have read the same bytes for the times to compare.
  harrow_sum=$("$cli" cat "$img" /big.bin | sha256sum | cut -c1-16)
  icat_sum=$(icat "$img" "$inode" | sha256sum | cut -c1-16)
  printf 'ntfs cat (%d MiB file): harrow %s s, icat %s s, ratio %s\n' "$big_mib" "$harrow_s" "$icat_s" "$(ratio "$harrow_s" "$icat_s")"
  printf '  sha256: harrow %s..., icat %s...%s; cat of the whole %d MiB image %s s\n' "$harrow_sum" "$icat_sum" \
    "$([ "$harrow_sum" = "$icat_sum" ] || echo '  (MISMATCH: the times do not compare)')" \
    "$(($(stat -c %s "$img") >> 20))" "$image_s"
}

# The disk scan against reading the image: the scan tests every cluster (FAT) or every sector
# (NTFS) of the volume, so reading the image once is its floor.
bench_fat32_scan() {
  local img harrow_s image_s found
  img=$(fat32_tree_image)
  harrow_s=$(median_time "$cli" scan "$img")
  image_s=$(median_time cat "$img")
  found=$("$cli" scan "$img" | wc -l)
  printf 'fat32 scan (%d MiB, %d directories found): harrow %s s, cat of the image %s s, ratio %s\n' \
    "$(($(stat -c %s "$img") >> 20))" "$found" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")"
}

# 2 GiB holding the tree: the MFT is near the start, the rest mostly free.
ntfs_scan_image() { ntfs_image "ntfs-scan-2g-$tree_files" 2048 write_tree; }

bench_ntfs_scan() {
  local img harrow_s image_s found
  if ! img=$(ntfs_scan_image); then
    echo "ntfs scan: skipped (no image)"
    return
  fi
  harrow_s=$(median_time "$cli" scan "$img")
  image_s=$(median_time cat "$img")
  found=$("$cli" scan "$img" | wc -l)
  printf 'ntfs scan (%d MiB, %d file records found): harrow %s s, cat of the image %s s, ratio %s\n' \
    "$(($(stat -c %s "$img") >> 20))" "$found" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")"
}

benchmarks=(fat32_ls ntfs_ls ntfs_cat fat32_scan ntfs_scan)

chosen=("${benchmarks[@]}")
[ $# -gt 0 ] && chosen=("$@")
for b in "${chosen[@]}"; do
  declare -F "bench_$b" > /dev/null || { echo "bench: no benchmark $b (have: ${benchmarks[*]})" >&2; exit 2; }
done
echo "bench: $cli, median of $runs runs, page cache warm"
for b in "${chosen[@]}"; do "bench_$b"; done

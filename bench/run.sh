#!/usr/bin/env bash
# Times harrow-cli against its peers on the same image, in the same run, and prints the ratios.
#
# Usage: bench/run.sh HARROW_CLI [BENCHMARK...]     (default: every benchmark below)
#
# Images are built once and kept in $HARROW_BENCH_CACHE (default bench/.cache, ignored by git);
# delete it to rebuild them. Building them all takes several minutes and about 5 GiB; the NTFS
# ones need root and /dev/fuse (ntfs-3g), using them does not. Each timed command runs once
# untimed so that the image is in the page cache, then $BENCH_RUNS times (default 5); the median
# counts. A figure is only meaningful next to the other figures of the same run, on the same
# machine. `save` writes into $BENCH_SAVE_DIR (default a folder in /dev/shm where there is one),
# so that the disk's write-back does not time itself into the figures.
#
# A timed benchmark is a function bench_NAME that prints one line:
#   WHAT: harrow X s, PEER Y s, ratio X/Y
# and is listed in `benchmarks` at the end. Those of a group print its header first.
set -euo pipefail
# Image builders run in command substitutions: let errexit reach them there.
shopt -s inherit_errexit

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

# Scratch space for saved files and tool reports, removed on exit.
save_parent=${BENCH_SAVE_DIR:-}
if [ -z "$save_parent" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then save_parent=/dev/shm; else save_parent=$cache; fi
fi
scratch=$(mktemp -d "$save_parent/harrow-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM

need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash scripts/install-deps.sh bench)" >&2; exit 1; }
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
  printf '%s\n' "${times[@]}" | median_of
}

# median_of: the median of the numbers on standard input, one a line.
median_of() { sort -n | awk '{ t[NR] = $1 } END { printf "%.3f", NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

mib_of() { echo $(($(stat -c %s "$1") >> 20)); }

# verdict A B: a warning when the two differ, for the end of a sanity line.
verdict() { [ "$1" = "$2" ] || echo '  (MISMATCH: the times do not compare)'; }

# header TEXT: prints the group's header once, before its first benchmark.
last_header=""
header() {
  [ "$1" = "$last_header" ] && return
  last_header=$1
  echo "== $1"
}

# ---------------------------------------------------------------------------------------------
# Images

# image NAME BUILD: prints the path of the cached image NAME.img, first building it when missing:
# the function BUILD gets an empty work folder and leaves the volume there as "image". Call it as
# img=$(image ...), never inside `if` or `||`, where bash turns errexit off: then a build that
# fails, or is interrupted, ends the run and leaves neither a mount nor a half-made image (the
# trap belongs to the command substitution's subshell).
image() {
  local img="$cache/$1.img"
  if [ -f "$img" ]; then
    echo "$img"
    return
  fi
  local start
  start=$(now)
  build_work=$(mktemp -d "$cache/build.XXXXXX") build_name=$1
  trap 'build_status=$?; ntfs3g_unmount || true; rm -rf "$build_work"
        echo "bench: could not build $build_name.img; nothing kept" >&2; exit "$build_status"' EXIT
  trap 'exit 130' INT TERM
  echo "bench: building $1.img" >&2
  "$2" "$build_work"
  mv "$build_work/image" "$img"
  rm -rf "$build_work"
  trap - EXIT
  echo "bench: built $1.img in $(seconds_since "$start") s, $(du -m "$img" | cut -f1) MiB on disk of $(mib_of "$img") MiB" >&2
  echo "$img"
}

# ntfs_buildable NAME: true when NAME.img is cached or ntfs-3g can build it here.
can_mount_ntfs() { ! ntfs3g_unusable > /dev/null; }
ntfs_buildable() { [ -f "$cache/$1.img" ] || can_mount_ntfs; }

ntfs_mount() {
  ntfs3g_mount "$1" "$2" "$2.log" big_writes ||
    { echo "bench: ntfs-3g cannot mount $1: $(ntfs3g_last_word "$2.log")" >&2; exit 1; }
}

# random_fill FILE MIB: MIB MiB of pseudo-random bytes (AES-CTR over zeros, fixed key: the same
# on every build), every block allocated. A used disk has old data in its free clusters, and
# reading a file's holes would skip the page cache and hide what each read costs.
random_fill() {
  need openssl
  head -c "$(($2 << 20))" /dev/zero | openssl enc -aes-256-ctr -nosalt -pbkdf2 -pass pass:harrow -out "$1"
  [ "$(stat -c %s "$1")" -eq $(($2 << 20)) ]
}

# new_ntfs IMG MIB [sparse]: an image formatted by mkntfs with 4 KiB clusters, the default of
# volumes this size and larger (-T: fixed serial number and times). Filled with random bytes
# first unless "sparse"; -Q keeps mkntfs from zeroing it again.
new_ntfs() {
  need mkntfs
  if [ "${3:-}" = sparse ]; then truncate -s "$2M" "$1"; else random_fill "$1" "$2"; fi
  mkntfs -F -Q -T -s 512 -c 4096 -L BENCH -p 0 -H 0 -S 0 "$1" > "$1.log" 2>&1 ||
    { cat "$1.log" >&2; echo "bench: mkntfs failed" >&2; exit 1; }
}

# new_fat32 IMG MIB SECTORS_PER_CLUSTER [sparse]: the same with mkfs.fat.
new_fat32() {
  need mkfs.fat
  if [ "${4:-}" = sparse ]; then truncate -s "$2M" "$1"; else random_fill "$1" "$2"; fi
  mkfs.fat -F 32 -S 512 -s "$3" -n BENCH -i 20240101 --invariant "$1" > /dev/null
}

# mcopy_into IMG DIR: copies everything in DIR to the root of the FAT volume IMG, in one mcopy:
# mtools keeps the volume open instead of reopening it per file.
mcopy_into() {
  need mcopy
  printf 'MTOOLS_SKIP_CHECK=1\nMTOOLS_NO_VFAT=0\n' > "$2.mtoolsrc"
  (cd "$2" && MTOOLSRC="$2.mtoolsrc" HOME="$2" mcopy -s -Q -i "$1" ./* ::/)
}

# ntfs_fill IMG FILL ARG...: mounts IMG, runs FILL MOUNTPOINT ARG..., unmounts.
ntfs_fill() {
  can_mount_ntfs || { echo "bench: building NTFS images takes $(ntfs3g_unusable)" >&2; exit 1; }
  ntfs_mount "$1" "$1.mnt"
  "${@:2:1}" "$1.mnt" "${@:3}"
  ntfs3g_unmount
  rmdir "$1.mnt"
}

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

# big_bytes: 1 GiB on stdout in 1 MiB pieces: one MiB of seeded random bytes over and over, each
# 4 KiB block stamped with its own number, so that a block read from the wrong place changes the
# hash. Cheap to make, the same on every build.
big_mib=1024
big_bytes() {
  need python3
  python3 -c '
import random, sys
random.seed(1)
piece = bytearray(random.randbytes(1 << 20))
out = sys.stdout.buffer
for mib in range(int(sys.argv[1])):
    for block in range(256):
        piece[block * 4096:block * 4096 + 16] = b"block %09d\n" % (mib * 256 + block)
    out.write(piece)
' "$big_mib"
}
write_big() { big_bytes > "$1/big.bin"; }

# big_sum: the sha256 of big_bytes, made once and kept next to the images.
big_sum() {
  local file="$cache/big-$big_mib.sha256" sum
  if [ ! -s "$file" ]; then
    sum=$(big_bytes | sha256sum | cut -d' ' -f1)
    echo "$sum" > "$file"
  fi
  cat "$file"
}

# The used disks: 2 GiB of old data, formatted, then the tree and big.bin copied in.
used_mib=2048
used_name=used-2g-$tree_files-$big_mib

build_fat32_used() {
  # 4 KiB clusters, as on most FAT32 volumes of this size.
  new_fat32 "$1/image" "$used_mib" 8
  mkdir "$1/files"
  write_tree "$1/files"
  write_big "$1/files"
  mcopy_into "$1/image" "$1/files"
}
fat32_used_image() { image "fat32-$used_name" build_fat32_used; }

# exFAT: written through exfat-fuse on a loop device, 32 KiB clusters (mkfs.exfat's choice for
# this size). The driver runs in the foreground so that unmounting waits for its writes.
build_exfat_used() {
  need mkfs.exfat mount.exfat-fuse losetup mountpoint
  [ "$(id -u)" -eq 0 ] && [ -c /dev/fuse ] || { echo "bench: building exFAT images needs root and /dev/fuse" >&2; exit 1; }
  random_fill "$1/image" "$used_mib"
  local loop pid status=0
  loop=$(losetup -f --show "$1/image")
  mkdir "$1/mnt"
  {
    mkfs.exfat -L BENCH "$loop" > "$1/mkfs.log" 2>&1 &&
      { mount.exfat-fuse -d "$loop" "$1/mnt" > "$1/fuse.log" 2>&1 & pid=$!; } &&
      for _ in $(seq 200); do mountpoint -q "$1/mnt" && break; sleep 0.05; done &&
      mountpoint -q "$1/mnt" && fill_used "$1/mnt"
  } || status=$?
  umount "$1/mnt" 2>/dev/null || true
  [ -n "${pid:-}" ] && { wait "$pid" 2>/dev/null || true; }
  losetup -d "$loop"
  rmdir "$1/mnt"
  [ "$status" -eq 0 ] || { cat "$1/mkfs.log" "$1/fuse.log" >&2; exit 1; }
}
exfat_used_image() { image "exfat-$used_name" build_exfat_used; }
exfat_buildable() { [ -f "$cache/exfat-$used_name.img" ] || { [ "$(id -u)" -eq 0 ] && [ -c /dev/fuse ]; }; }

fill_used() { write_tree "$1"; write_big "$1"; }
build_ntfs_used() {
  new_ntfs "$1/image" "$used_mib"
  ntfs_fill "$1/image" fill_used
}
ntfs_used_image() { image "ntfs-$used_name" build_ntfs_used; }

# write_flat DIR COUNT [long]: COUNT empty files directly in DIR; with "long" every fourth has a
# long name.
write_flat() {
  (
    cd "$1"
    local i name
    for ((i = 1; i <= $2; i++)); do
      if [ "${3:-}" = long ] && ((i % 4 == 0)); then
        printf -v name 'Scanned page %06d of the archive.txt' "$i"
      else
        printf -v name 'F%07d.TXT' "$i"
      fi
      : > "$name"
    done
  )
}

# The large directories. A FAT directory holds at most 65,536 entries, "." and ".." included, and
# a long name takes two or more, so the FAT one has short names only. Its volume is as small as
# FAT32 allows: 512-byte clusters, just over the 65,525 clusters FAT32 needs. mcopy checks every
# new name against the whole directory: this build takes minutes.
fat_dir_entries=65000
build_fat32_dir() {
  new_fat32 "$1/image" 34 1 sparse
  mkdir -p "$1/files/BIGDIR"
  write_flat "$1/files/BIGDIR" "$fat_dir_entries"
  mcopy_into "$1/image" "$1/files"
}
fat32_dir_image() { image "fat32-dir-$fat_dir_entries" build_fat32_dir; }

# 100,000 file records of 1 KiB and the directory's index fit in 256 MiB.
ntfs_dir_entries=100000
fill_dir() { mkdir "$1/Big directory"; write_flat "$1/Big directory" "$ntfs_dir_entries" long; }
build_ntfs_dir() {
  new_ntfs "$1/image" 256 sparse
  ntfs_fill "$1/image" fill_dir
}
ntfs_dir_image() { image "ntfs-dir-$ntfs_dir_entries" build_ntfs_dir; }

# ---------------------------------------------------------------------------------------------
# Benchmarks

# Not timed: builds the images that are missing (each build's time goes to stderr) and lists them.
bench_images() {
  header "images (in $cache)"
  local img used dir
  # Assignments, not words of the for list: errexit ignores a failing substitution there.
  used=$(fat32_used_image)
  dir=$(fat32_dir_image)
  for img in "$used" "$dir"; do
    echo "$(basename "$img"): $(mib_of "$img") MiB, $(du -m "$img" | cut -f1) MiB on disk"
  done
  if ntfs_buildable "ntfs-$used_name" && ntfs_buildable "ntfs-dir-$ntfs_dir_entries"; then
    used=$(ntfs_used_image)
    dir=$(ntfs_dir_image)
    for img in "$used" "$dir"; do
      echo "$(basename "$img"): $(mib_of "$img") MiB, $(du -m "$img" | cut -f1) MiB on disk"
    done
  else
    echo "NTFS images: not built (building them takes $(ntfs3g_unusable))"
  fi
}

# Recursive listing of a whole volume, against The Sleuth Kit's fls with full paths.
bench_fat32_ls() {
  need fls
  header "recursive listing: harrow-cli ls -r against fls -r -p"
  local img harrow_s fls_s harrow_lines fls_lines harrow_entries fls_entries
  img=$(fat32_used_image)
  harrow_s=$(median_time "$cli" ls "$img" -r)
  fls_s=$(median_time fls -r -p "$img")

  # Both must have listed the same volume for the times to compare. harrow-cli shows the "." and
  # ".." of every directory; fls shows the volume label and its virtual files ($MBR, $FAT1,
  # $FAT2, $OrphanFiles). Without those both count every file and directory once.
  harrow_lines=$("$cli" ls "$img" -r | wc -l)
  fls_lines=$(fls -r -p "$img" | wc -l)
  harrow_entries=$("$cli" ls "$img" -r | grep -cvE '/\.\.?$' || true)
  fls_entries=$(fls -r -p "$img" | grep -cvE '^[vV]/[vV] |\(Volume Label Entry\)$' || true)
  printf 'fat32 ls -r (%d files, %d MiB): harrow %s s, fls %s s, ratio %s\n' \
    "$((tree_files + 1))" "$(mib_of "$img")" "$harrow_s" "$fls_s" "$(ratio "$harrow_s" "$fls_s")"
  printf '  lines listed: harrow %d, fls %d; files and directories: harrow %d, fls %d%s\n' \
    "$harrow_lines" "$fls_lines" "$harrow_entries" "$fls_entries" "$(verdict "$harrow_entries" "$fls_entries")"
}

# The same on NTFS: every directory through its index, every entry's record for its size and
# attributes.
bench_ntfs_ls() {
  need fls
  header "recursive listing: harrow-cli ls -r against fls -r -p"
  local img harrow_s fls_s harrow_lines fls_lines harrow_entries fls_entries
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs ls -r: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  harrow_s=$(median_time "$cli" ls "$img" -r)
  fls_s=$(median_time fls -r -p "$img")

  # harrow-cli shows the "." and ".." of every directory below the root. fls shows the system
  # files ($MFT ... and what $Extend holds), $OrphanFiles with a virtual file per unnamed record,
  # and names it finds deleted in index slack (marked "*"); harrow-cli lists none of these.
  harrow_lines=$("$cli" ls "$img" -r | wc -l)
  fls_lines=$(fls -r -p "$img" | wc -l)
  harrow_entries=$("$cli" ls "$img" -r | grep -cvE '/\.\.?$' || true)
  fls_entries=$(fls -r -p "$img" | grep -vE '^[^ ]+ \* ' | grep -cvE $':\t\\$' || true)
  printf 'ntfs ls -r (%d files, %d MiB): harrow %s s, fls %s s, ratio %s\n' \
    "$((tree_files + 1))" "$(mib_of "$img")" "$harrow_s" "$fls_s" "$(ratio "$harrow_s" "$fls_s")"
  printf '  lines listed: harrow %d, fls %d; files and directories: harrow %d, fls %d%s\n' \
    "$harrow_lines" "$fls_lines" "$harrow_entries" "$fls_entries" "$(verdict "$harrow_entries" "$fls_entries")"
}

# Searching a whole volume by name, against listing it whole: find walks what ls -r walks and
# prints less, so ls -r of the same volume is its yardstick (the goal is at most 1.1).
find_header="search by name: harrow-cli find --name '*.TXT' against harrow-cli ls -r of the same volume"

# find_line FS IMG: the timing, and what find printed against the .txt files ls -r lists.
find_line() {
  local find_s ls_s found listed
  find_s=$(median_time "$cli" find "$2" --name '*.TXT')
  ls_s=$(median_time "$cli" ls "$2" -r)
  found=$("$cli" find "$2" --name '*.TXT' | wc -l)
  listed=$("$cli" ls "$2" -r | grep -ciE '\.txt$' || true)
  printf '%s find --name *.TXT (%d MiB): harrow find %s s, ls -r %s s, ratio %s\n' \
    "$1" "$(mib_of "$2")" "$find_s" "$ls_s" "$(ratio "$find_s" "$ls_s")"
  printf '  found: find %d, .txt names in ls -r %d%s\n' "$found" "$listed" "$(verdict "$found" "$listed")"
}

bench_fat32_find() {
  header "$find_header"
  local img
  img=$(fat32_used_image)
  find_line fat32 "$img"
}

bench_ntfs_find() {
  header "$find_header"
  local img
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs find: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  find_line ntfs "$img"
}

# The same on exFAT: every directory's entry sets, no "." or "..". fls shows the volume label, the
# bitmap, the up-case table, its virtual files ($MBR, $FAT1, $OrphanFiles) and, below
# $OrphanFiles, what it took for entries in the old data of free clusters.
bench_exfat_ls() {
  need fls
  header "recursive listing: harrow-cli ls -r against fls -r -p"
  exfat_buildable || { echo "exfat ls -r: skipped (no image, and none can be built here)"; return; }
  local img harrow_s fls_s harrow_entries fls_entries
  img=$(exfat_used_image)
  harrow_s=$(median_time "$cli" ls "$img" -r)
  fls_s=$(median_time fls -r -p "$img")
  harrow_entries=$("$cli" ls "$img" -r | wc -l)
  fls_entries=$(fls -r -p "$img" | grep -vE '^[vV]/[vV] |\(Volume Label Entry\)$' |
    grep -cvE $':\t\\$(ALLOC_BITMAP|UPCASE_TABLE$|OrphanFiles/)' || true)
  printf 'exfat ls -r (%d files, %d MiB): harrow %s s, fls %s s, ratio %s\n' \
    "$((tree_files + 1))" "$(mib_of "$img")" "$harrow_s" "$fls_s" "$(ratio "$harrow_s" "$fls_s")"
  printf '  files and directories: harrow %d, fls %d%s\n' "$harrow_entries" "$fls_entries" \
    "$(verdict "$harrow_entries" "$fls_entries")"
}

# Reading one large file whole (cat) and copying it out (save), with reading the whole image as
# the yardstick: the image is twice the file, so a reader that costs no more per byte than cat
# comes out near 0.5.
read_header="one ${big_mib} MiB file: harrow-cli cat and save against cat of the whole ${used_mib} MiB image"

# The file's path as harrow-cli lists it. mtools keeps "big.bin" as the short name BIG.BIN with
# the lower-case flag, which harrow-cli does not apply (fls does).
fat_big=/BIG.BIN ntfs_big=/big.bin

# cat_line FS IMG PATH: times harrow-cli cat of the file against cat of IMG.
cat_line() {
  local harrow_s image_s
  harrow_s=$(median_time "$cli" cat "$2" "$3")
  image_s=$(median_time cat "$2")
  printf '%s cat %s: harrow %s s, cat of the image %s s, ratio %s\n' \
    "$1" "$3" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")"
}

# write_floor IMG: copies as many bytes as the big file holds out of IMG into a new file of the
# save folder, as fast as dd does it: what saving costs at the least where writing dominates.
write_floor() {
  rm -f "$scratch/save/floor"
  dd if="$1" of="$scratch/save/floor" bs=1M count="$big_mib" status=none
}

# save_line FS IMG PATH: the same for save, and against copying as many bytes with dd into the
# same folder; prints the saved file's sha256 on a second line.
save_line() {
  local harrow_s image_s floor_s saved
  rm -rf "$scratch/save"
  harrow_s=$(median_time "$cli" save "$2" "$3" --to "$scratch/save" --overwrite all)
  image_s=$(median_time cat "$2")
  floor_s=$(median_time write_floor "$2")
  saved=$(sha256sum < "$scratch/save/${3##*/}" | cut -d' ' -f1)
  rm -rf "$scratch/save"
  printf '%s save %s: harrow %s s, cat of the image %s s, ratio %s; dd of %d MiB into the folder %s s, ratio %s\n' \
    "$1" "$3" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")" "$big_mib" "$floor_s" "$(ratio "$harrow_s" "$floor_s")"
  echo "$saved"
}

bench_fat32_cat() {
  need sha256sum
  header "$read_header"
  local img want got
  img=$(fat32_used_image)
  cat_line fat32 "$img" "$fat_big"
  want=$(big_sum)
  got=$("$cli" cat "$img" "$fat_big" | sha256sum | cut -d' ' -f1)
  printf '  sha256: harrow cat %.16s..., written %.16s...%s\n' "$got" "$want" "$(verdict "$got" "$want")"
}

bench_exfat_cat() {
  header "$read_header"
  exfat_buildable || { echo "exfat cat: skipped (no image, and none can be built here)"; return; }
  local img sum
  img=$(exfat_used_image)
  cat_line exfat "$img" /big.bin
  sum=$("$cli" cat "$img" /big.bin | sha256sum | cut -d' ' -f1)
  printf '  sha256 of what cat read: %.16s..., of the file written %.16s...%s\n' "$sum" "$(big_sum)" "$(verdict "$sum" "$(big_sum)")"
}

bench_fat32_save() {
  need sha256sum
  header "$read_header"
  local img want out
  img=$(fat32_used_image)
  out=$(save_line fat32 "$img" "$fat_big")
  want=$(big_sum)
  head -n 1 <<< "$out"
  printf '  sha256: harrow save %.16s..., written %.16s...%s\n' \
    "$(tail -n 1 <<< "$out")" "$want" "$(verdict "$(tail -n 1 <<< "$out")" "$want")"
}

# On NTFS also against The Sleuth Kit's icat (by record number), which reads the file as harrow
# does.
bench_ntfs_cat() {
  need icat ifind sha256sum
  header "$read_header"
  local img inode icat_s got icat_sum want
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs cat: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  cat_line ntfs "$img" "$ntfs_big"
  inode=$(ifind -n "$ntfs_big" "$img")
  icat_s=$(median_time icat "$img" "$inode")
  got=$("$cli" cat "$img" "$ntfs_big" | sha256sum | cut -d' ' -f1)
  icat_sum=$(icat "$img" "$inode" | sha256sum | cut -d' ' -f1)
  want=$(big_sum)
  printf '  icat %s s; sha256: harrow cat %.16s..., icat %.16s..., written %.16s...%s\n' "$icat_s" \
    "$got" "$icat_sum" "$want" "$(verdict "$got $icat_sum" "$want $want")"
}

bench_ntfs_save() {
  need icat ifind sha256sum
  header "$read_header"
  local img out inode icat_sum saved
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs save: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  out=$(save_line ntfs "$img" "$ntfs_big")
  head -n 1 <<< "$out"
  saved=$(tail -n 1 <<< "$out")
  inode=$(ifind -n "$ntfs_big" "$img")
  icat_sum=$(icat "$img" "$inode" | sha256sum | cut -d' ' -f1)
  printf '  sha256: harrow save %.16s..., icat %.16s...%s\n' "$saved" "$icat_sum" "$(verdict "$saved" "$icat_sum")"
}

# The disk scan against reading the image: the scan tests every cluster (FAT) or every sector
# (NTFS) of the volume, so reading the image once is its floor.
scan_header="disk scan of the ${used_mib} MiB used disk against cat of the image"

bench_fat32_scan() {
  header "$scan_header"
  local img harrow_s image_s found
  img=$(fat32_used_image)
  harrow_s=$(median_time "$cli" scan "$img")
  image_s=$(median_time cat "$img")
  found=$("$cli" scan "$img" | wc -l)
  printf 'fat32 scan (%d MiB, %d directories found): harrow %s s, cat of the image %s s, ratio %s\n' \
    "$(mib_of "$img")" "$found" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")"
}

bench_ntfs_scan() {
  header "$scan_header"
  local img harrow_s image_s found
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs scan: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  harrow_s=$(median_time "$cli" scan "$img" --list all-files)
  image_s=$(median_time cat "$img")
  found=$("$cli" scan "$img" --list all-files | wc -l)
  printf 'ntfs scan --list all-files (%d MiB, %d file records found): harrow %s s, cat of the image %s s, ratio %s\n' \
    "$(mib_of "$img")" "$found" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")"
}

# Writing an image file of 1 GiB of clusters (the first data clusters on FAT, from the MFT on
# NTFS) into the save folder, against cat of the whole image, twice the range: a writer that
# costs no more per byte than reading comes out near 0.5 (the goal is at most 0.6), and against dd
# of as many bytes into the same folder.
image_header="image of ${big_mib} MiB of clusters: harrow-cli image against cat of the whole ${used_mib} MiB image"

# image_line FS IMG FIRST: the timing, and the size of the file against what the range takes.
image_line() {
  local cluster first=$3 last harrow_s image_s floor_s want got
  cluster=$("$cli" info "$2" --json | sed -n 's/.*"bytes_per_cluster": \([0-9]*\).*/\1/p')
  last=$((first + (big_mib << 20) / cluster - 1))
  mkdir -p "$scratch/save"
  harrow_s=$(median_time "$cli" image "$2" --clusters "$first-$last" --out "$scratch/save/range.dsk")
  image_s=$(median_time cat "$2")
  floor_s=$(median_time write_floor "$2")
  got=$(stat -c %s "$scratch/save/range.dsk")
  want=$((got - (big_mib << 20)))
  rm -rf "$scratch/save"
  printf '%s image --clusters %d-%d: harrow %s s, cat of the image %s s, ratio %s; dd of %d MiB into the folder %s s, ratio %s\n' \
    "$1" "$first" "$last" "$harrow_s" "$image_s" "$(ratio "$harrow_s" "$image_s")" "$big_mib" "$floor_s" "$(ratio "$harrow_s" "$floor_s")"
  printf '  file: %d bytes, %d of them header, boot sector and system area\n' "$got" "$want"
}

bench_fat32_image() {
  header "$image_header"
  local img
  img=$(fat32_used_image)
  image_line fat32 "$img" 2
}

bench_ntfs_image() {
  header "$image_header"
  local img mft
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs image: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  # The MFT's first cluster, at 0x30 of the boot sector: where the range may begin.
  mft=$(od -An -t u8 -j 48 -N 8 "$img" | tr -d ' ')
  image_line ntfs "$img" "$mft"
}

# One very large directory, listed alone, against fls of the directory's address as ifind -n
# finds it (ifind is not timed).
dir_header="one large directory: harrow-cli ls DIR against fls IMAGE INODE (inode from ifind -n)"

# dir_line FS IMG DIR: the timing and the entry counts. Neither side counts "." and "..".
dir_line() {
  local inode harrow_s fls_s harrow_entries fls_entries
  inode=$(ifind -n "$3" "$2")
  harrow_s=$(median_time "$cli" ls "$2" "$3")
  fls_s=$(median_time fls "$2" "$inode")
  harrow_entries=$("$cli" ls "$2" "$3" | grep -cvE ' \.\.?$' || true)
  fls_entries=$(fls "$2" "$inode" | grep -cvE $':\t\\.\\.?$' || true)
  printf '%s ls %s (%d MiB volume): harrow %s s, fls %s s, ratio %s\n' \
    "$1" "$3" "$(mib_of "$2")" "$harrow_s" "$fls_s" "$(ratio "$harrow_s" "$fls_s")"
  printf '  entries: harrow %d, fls %d (inode %s)%s\n' \
    "$harrow_entries" "$fls_entries" "$inode" "$(verdict "$harrow_entries" "$fls_entries")"
}

bench_fat32_dir() {
  need fls ifind
  header "$dir_header"
  local img
  img=$(fat32_dir_image)
  dir_line fat32 "$img" /BIGDIR
}

# The same directory as JSON, against its text listing: the items are printed as they come, so
# that the JSON costs little more time than the text and no more memory (not the whole document
# built first: 4.6 s and 225 MiB for 65,536 items, where the text took 0.44 s and 17 MiB).
bench_fat32_dir_json() {
  header "ls --json of one large directory against its text listing, and peak memory (/usr/bin/time -v)"
  local img text_s json_s text_m json_m
  img=$(fat32_dir_image)
  text_s=$(median_time "$cli" ls "$img" /BIGDIR)
  json_s=$(median_time "$cli" ls "$img" /BIGDIR --json)
  text_m=$(peak_mib "$cli" ls "$img" /BIGDIR)
  json_m=$(peak_mib "$cli" ls "$img" /BIGDIR --json)
  printf 'fat32 ls /BIGDIR --json (%d entries): %s s, text %s s, ratio %s; peak %s MiB, text %s MiB, ratio %s\n' \
    "$((fat_dir_entries + 2))" "$json_s" "$text_s" "$(ratio "$json_s" "$text_s")" "$json_m" "$text_m" \
    "$(ratio "$json_m" "$text_m")"
}

bench_ntfs_dir() {
  need fls ifind
  header "$dir_header"
  local img
  ntfs_buildable "ntfs-dir-$ntfs_dir_entries" || { echo "ntfs dir: skipped (no image)"; return; }
  img=$(ntfs_dir_image)
  dir_line ntfs "$img" "/Big directory"
}

# The desktop application, from start to the first paint of the list it opens with, against
# harrow-cli printing the same list: what the window adds to the engine's work. It runs on Qt's
# offscreen platform, so no display is needed.
gui=$(dirname "$cli")/harrow
gui_header="harrow (the window) until the list is first painted, against harrow-cli printing the same list"
gui_root_entries=20000
build_fat32_root() {
  new_fat32 "$1/image" 64 1 sparse
  mkdir -p "$1/files"
  write_flat "$1/files" "$gui_root_entries"
  mcopy_into "$1/image" "$1/files"
}
fat32_root_image() { image "fat32-root-$gui_root_entries" build_fat32_root; }

# gui_line WHAT IMG CLI-ARGS -- GUI-ARGS: the whole run of each program, and the window's time
# from the open (after Qt's start-up and the window's creation) to the first paint.
gui_line() {
  local what=$1 img=$2 gui_s cli_s rows open_s i
  shift 2
  local cli_args=() gui_args=()
  while [ "$1" != "--" ]; do cli_args+=("$1"); shift; done
  shift
  gui_args=("$@")
  [ -x "$gui" ] || { echo "$what: skipped (no harrow at $gui)"; return; }
  export QT_QPA_PLATFORM=offscreen
  cli_s=$(median_time "$cli" "${cli_args[@]}" "$img")
  gui_s=$(median_time "$gui" --no-splash --first-paint "${gui_args[@]}" "$img")
  rows=$("$gui" --no-splash --first-paint "${gui_args[@]}" "$img" 2>/dev/null | sed -n 's/.*, \([0-9]*\) rows/\1/p')
  open_s=$(for ((i = 0; i < runs; i++)); do
      "$gui" --no-splash --first-paint "${gui_args[@]}" "$img" 2>/dev/null | sed -n 's/.*, \([0-9.]*\) s from the open.*/\1/p'
    done | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')
  unset QT_QPA_PLATFORM
  printf '%s (%s rows): harrow %s s (%s s from the open), harrow-cli %s s, ratio %s (%s from the open)\n' \
    "$what" "$rows" "$gui_s" "$open_s" "$cli_s" "$(ratio "$gui_s" "$cli_s")" "$(ratio "$open_s" "$cli_s")"
}

bench_gui_ntfs_allfiles() {
  header "$gui_header"
  local img
  ntfs_buildable "ntfs-$used_name" || { echo "gui ntfs all files: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  gui_line "ntfs open, scan, all files ($(mib_of "$img") MiB)" "$img" scan --list all-files -- --list all-files
}

bench_gui_fat32_root() {
  header "$gui_header"
  local img
  img=$(fat32_root_image)
  gui_line "fat32 open, root of $gui_root_entries entries" "$img" ls -- --no-scan --view details
}

# A list of 100,000 rows: the window must show it at once, not fill it row by row.
bench_gui_100k() {
  header "$gui_header"
  local img
  ntfs_buildable "ntfs-dir-$ntfs_dir_entries" || { echo "gui 100,000 rows: skipped (no image)"; return; }
  img=$(ntfs_dir_image)
  gui_line "ntfs open, scan, all files of a 100,000-file directory" "$img" scan --list all-files -- --list all-files
}

# Lost directories against fatcat, a FAT undelete and orphan tool: three trees of two directories,
# two deleted with mdeltree (their clusters freed), one cut off from the root with its clusters
# still allocated. `fatcat -o` looks for orphans among allocated chains only.
bench_fatcat_orphans() {
  need fatcat mmd mcopy mdeltree
  header "lost directories on a volume with deleted trees: harrow-cli scan against fatcat -o"
  local img=$scratch/orphans.img t fc_dirs fc_s h_dirs h_s start
  truncate -s 64M "$img"
  mkfs.fat -F 32 "$img" > /dev/null
  for t in 1 2 3; do
    MTOOLS_SKIP_CHECK=1 mmd -i "$img" "::/Tree$t" "::/Tree$t/Sub$t"
    printf 'file %s\n' "$t" > "$scratch/f.txt"
    MTOOLS_SKIP_CHECK=1 mcopy -i "$img" "$scratch/f.txt" "::/Tree$t/Sub$t/file$t.txt"
  done
  MTOOLS_SKIP_CHECK=1 mdeltree -i "$img" ::/Tree1 ::/Tree2
  python3 - "$img" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as img:
    bs = img.read(512)
    bps, spc, res, nf = struct.unpack_from("<H", bs, 11)[0], bs[13], struct.unpack_from("<H", bs, 14)[0], bs[16]
    spf, root = struct.unpack_from("<I", bs, 36)[0], struct.unpack_from("<I", bs, 44)[0]
    at = (res + nf * spf) * bps + (root - 2) * spc * bps
    img.seek(at)
    d = bytearray(img.read(spc * bps))
    for i in range(0, len(d), 32):
        if d[i + 11] != 0x0F and d[i:i + 8].rstrip() == b"TREE3":
            j = i
            while True:  # the entry and its long-name slots
                d[j:j + 32] = bytes(32)
                j -= 32
                if j < 0 or d[j + 11] != 0x0F:
                    break
    img.seek(at)
    img.write(d)
PY
  start=$(now)
  fc_dirs=$(fatcat "$img" -o 2>/dev/null | sed -n -e 's/^\* Directory clusters \([0-9]*\) to.*/\1/p' -e 's/^d .* c=\([0-9]*\).*/\1/p' | sort -u | wc -l)
  fc_s=$(seconds_since "$start")
  start=$(now)
  h_dirs=$("$cli" scan "$img" --list all-dirs | wc -l)
  h_s=$(seconds_since "$start")
  printf '6 directories made, 4 deleted with their trees, 2 cut off from the root: harrow-cli scan finds %d in %s s, fatcat -o %d in %s s\n' \
    "$h_dirs" "$h_s" "$fc_dirs" "$fc_s"
}

# Peak memory of the commands that walk a whole volume, each run once. The tables the volume
# itself sets (both FATs; NTFS's $MFT) are printed with them: what a command holds beyond those
# and its list of results grows with the volume for no good reason.
mem_header="peak memory (maximum resident set size, /usr/bin/time -v), one run each"

# peak_mib CMD...: runs CMD once, output thrown away; prints its peak resident set in MiB.
peak_mib() {
  need /usr/bin/time
  /usr/bin/time -v -o "$scratch/time" "$@" > /dev/null || { echo "bench: failed: $*" >&2; exit 1; }
  awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$scratch/time"
}

# memory_line FS IMG SCAN_ARG... TABLES: one line for the three commands.
memory_line() {
  local fs=$1 img=$2 tables=$3 ls_m scan_m save_m
  shift 3
  ls_m=$(peak_mib "$cli" ls "$img" -r)
  scan_m=$(peak_mib "$cli" scan "$img" "$@")
  rm -rf "$scratch/save"
  save_m=$(peak_mib "$cli" save "$img" / --to "$scratch/save" -r --overwrite all)
  rm -rf "$scratch/save"
  printf '%s (%d MiB, %s): ls -r %s MiB, scan %s MiB, save / -r %s MiB\n' \
    "$fs" "$(mib_of "$img")" "$tables" "$ls_m" "$scan_m" "$save_m"
}

# fat_tables_mib IMG: sectors per FAT x bytes per sector x number of FATs, from the boot sector.
fat_tables_mib() {
  od -An -tu1 -j11 -N39 -v "$1" | tr -s ' \n' '\n\n' | grep -v '^$' | awk '
    { b[NR - 1] = $1 }
    END {
      sector = b[0] + 256 * b[1]; fats = b[5]
      per_fat = b[25] + 256 * (b[26] + 256 * (b[27] + 256 * b[28]))
      printf "FATs %d x %.1f MiB", fats, per_fat * sector / 1048576
    }'
}

bench_fat32_memory() {
  header "$mem_header"
  local img
  img=$(fat32_used_image)
  memory_line fat32 "$img" "$(fat_tables_mib "$img")"
}

bench_ntfs_memory() {
  need istat
  header "$mem_header"
  local img mft
  ntfs_buildable "ntfs-$used_name" || { echo "ntfs memory: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  # The size of $MFT's unnamed $DATA.
  mft=$(istat "$img" 0 | awk '/^Type: \$DATA .*size: / { for (i = 1; i < NF; i++) if ($i == "size:") { printf "%.1f", $(i + 1) / 1048576; exit } }')
  memory_line ntfs "$img" "\$MFT ${mft} MiB" --list all-files
}

# System calls of the reading commands, to show what each read costs: a reader that asks for a
# cluster at a time makes a quarter of a million calls per GiB. Not timed (strace slows them).
# strace_line WHAT CMD...: one line with the counts of pread64, read and write.
strace_line() {
  need strace
  local what=$1
  shift
  strace -c -f -o "$scratch/strace" "$@" > /dev/null || { echo "bench: failed: $*" >&2; exit 1; }
  awk -v what="$what" '
    $NF == "pread64" || $NF == "read" || $NF == "write" { n[$NF] = $4 }
    $NF == "total" { total = $4 }
    END { printf "%s: pread64 %d, read %d, write %d; all system calls %d\n", what, n["pread64"], n["read"], n["write"], total }' \
    "$scratch/strace"
}

bench_syscalls() {
  header "system calls (strace -c -f), one run each"
  local fat ntfs
  fat=$(fat32_used_image)
  strace_line "fat32 cat $fat_big" "$cli" cat "$fat" "$fat_big"
  strace_line "fat32 scan" "$cli" scan "$fat"
  if ntfs_buildable "ntfs-$used_name"; then
    ntfs=$(ntfs_used_image)
    strace_line "ntfs cat $ntfs_big" "$cli" cat "$ntfs" "$ntfs_big"
    strace_line "ntfs scan --list all-files" "$cli" scan "$ntfs" --list all-files
  fi
  strace_line "cat of the fat32 image, for scale" cat "$fat"
}

# harrowd on loopback against the same work done locally: the NTFS disk scan, and the 1 GiB file
# read (cat) and saved. Each request over the network asks for at most 10240 bytes; the client
# keeps several in flight, so that a sequential read is bounded by what the two processes do per
# request rather than by a round trip each.
remote_header="harrowd --headless on 127.0.0.1 (harrow-cli SOURCE harrowd://127.0.0.1:PORT/N) against the local image"

# harrowd takes no password shorter than 8 bytes.
bench_password=bench-password

# wait_for WORD FILE: gives a program started in the background up to 5 s to write WORD in FILE.
wait_for() {
  local i
  for i in $(seq 100); do
    grep -q "$1" "$2" && return
    sleep 0.05
  done
  return 1
}

# start_harrowd IMG: serves IMG as N: on a free loopback port; sets harrowd_url.
start_harrowd() {
  local harrowd
  harrowd=$(dirname "$cli")/harrowd
  [ -x "$harrowd" ] || { echo "bench: $harrowd is not built" >&2; exit 1; }
  HARROWD_PASSWORD=$bench_password HARROW_DRIVES= "$harrowd" --headless --bind 127.0.0.1 --port 0 --drive "N=$1" \
    --log "$scratch/harrowd.log" 2> "$scratch/harrowd.err" &
  harrowd_pid=$!
  trap 'kill "$harrowd_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
  wait_for listening "$scratch/harrowd.err" ||
    { cat "$scratch/harrowd.err" >&2; echo "bench: harrowd did not start" >&2; exit 1; }
  harrowd_url="harrowd://127.0.0.1:$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$scratch/harrowd.err")/N"
}

stop_harrowd() {
  kill -TERM "$harrowd_pid"
  wait "$harrowd_pid" || { echo "bench: harrowd did not exit cleanly" >&2; exit 1; }
  trap 'rm -rf "$scratch"' EXIT
}

# remote_line WHAT LOCAL_CMD... -- REMOTE_CMD...: the two medians and their ratio.
remote_line() {
  local what=$1 local_s remote_s i
  shift
  for ((i = 1; i <= $#; i++)); do [ "${!i}" = -- ] && break; done
  local_s=$(median_time "${@:1:i-1}")
  remote_s=$(median_time "${@:i+1}")
  printf '%s: over loopback %s s, local %s s, ratio %s\n' "$what" "$remote_s" "$local_s" "$(ratio "$remote_s" "$local_s")"
}

bench_remote() {
  need sha256sum
  header "$remote_header"
  local img local_sum remote_sum
  ntfs_buildable "ntfs-$used_name" || { echo "remote: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  start_harrowd "$img"
  export HARROW_PASSWORD=$bench_password
  remote_line "ntfs scan --list all-files ($(mib_of "$img") MiB)" "$cli" scan "$img" --list all-files -- \
    "$cli" scan "$harrowd_url" --list all-files
  remote_line "ntfs cat $ntfs_big ($big_mib MiB)" "$cli" cat "$img" "$ntfs_big" -- "$cli" cat "$harrowd_url" "$ntfs_big"
  rm -rf "$scratch/save"
  remote_line "ntfs save $ntfs_big ($big_mib MiB)" \
    "$cli" save "$img" "$ntfs_big" --to "$scratch/save" --overwrite all -- \
    "$cli" save "$harrowd_url" "$ntfs_big" --to "$scratch/save" --overwrite all
  rm -rf "$scratch/save"
  local_sum=$("$cli" scan "$img" --list all-files | sha256sum | cut -d' ' -f1)
  remote_sum=$("$cli" scan "$harrowd_url" --list all-files | sha256sum | cut -d' ' -f1)
  printf '  scan output: local %.16s..., over loopback %.16s...%s\n' "$local_sum" "$remote_sum" \
    "$(verdict "$local_sum" "$remote_sum")"
  local_sum=$("$cli" cat "$img" "$ntfs_big" | sha256sum | cut -d' ' -f1)
  remote_sum=$("$cli" cat "$harrowd_url" "$ntfs_big" | sha256sum | cut -d' ' -f1)
  printf '  sha256: local cat %.16s..., over loopback %.16s...%s\n' "$local_sum" "$remote_sum" \
    "$(verdict "$local_sum" "$remote_sum")"
  unset HARROW_PASSWORD
  stop_harrowd
}

# The same through a link of a given rate and round trip, in a network namespace of its own (root:
# unshare -n, tc): loopback shaped to 1 Gbit/s by a token bucket (tc tbf) for the client's
# connection alone, then with a relay that holds each direction 10 ms (the kernel may lack netem).
# Against the link rate: the time the bytes the command moves take at 1 Gbit/s. The relay works on
# the application's bytes, so TCP itself sees no round trip: what shows is what harrowd's protocol
# makes of one. Each timed command runs $BENCH_LINK_RUNS times (default 1) after its warm-up.
link_bits=1000000000
link_delay_ms=10
link_header="harrowd through a 1 Gbit/s link (tc tbf on loopback, private network namespace) against the link rate"

# shape_port PORT: traffic to or from PORT goes through the 1 Gbit/s token bucket, the rest of
# loopback (the relay's own connection to harrowd) does not. Counters start at zero.
shape_port() {
  tc qdisc del dev lo root 2>/dev/null || true
  tc qdisc add dev lo root handle 1: htb default 20 r2q 1000000
  tc class add dev lo parent 1: classid 1:10 htb rate 100gbit
  tc class add dev lo parent 1: classid 1:20 htb rate 100gbit
  tc qdisc add dev lo parent 1:10 handle 10: tbf rate "$link_bits" burst 128kb latency 200ms
  tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip sport "$1" 0xffff flowid 1:10
  tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip dport "$1" 0xffff flowid 1:10
}

# link_line WHAT BYTES PORT CMD...: the median, the time BYTES take at the link rate, their ratio,
# and the bytes that crossed the shaped link per run (the check that the link was the one used).
link_line() {
  local what=$1 bytes=$2 port=$3 runs=${BENCH_LINK_RUNS:-1} t floor sent
  shift 3
  shape_port "$port"
  t=$(median_time "$@")
  floor=$(awk -v b="$bytes" -v r="$link_bits" 'BEGIN { printf "%.3f", b * 8 / r }')
  sent=$(tc -s qdisc show dev lo handle 10: | awk '/Sent/ { print $2; exit }')
  printf '%s: %s s, link rate %s s, ratio %s; %d MiB on the link per run\n' \
    "$what" "$t" "$floor" "$(ratio "$t" "$floor")" "$((sent / (runs + 1) >> 20))"
}

# link_gui_line WHAT BYTES PORT URL: the window (offscreen) opening URL, searching it and showing
# all its files, from the open to the first paint, against the link rate; and the longest the
# window kept a 5 ms timer waiting meanwhile, the most of its runs.
link_gui_line() {
  local what=$1 bytes=$2 port=$3 url=$4 runs=${BENCH_LINK_RUNS:-1} i out times=() waits=() floor t
  [ -x "$gui" ] || { echo "$what: skipped (no harrow at $gui)"; return; }
  shape_port "$port"
  for ((i = 0; i <= runs; i++)); do
    out=$(QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$scratch/config" "$gui" --no-splash --first-paint --list all-files "$url" 2>/dev/null)
    [ -n "$out" ] || { echo "bench: the window did not open $url" >&2; exit 1; }
    # The first run warms up, as median_time's does.
    ((i == 0)) && continue
    times+=("$(sed -n 's/.*, \([0-9.]*\) s from the open.*/\1/p' <<< "$out")")
    waits+=("$(sed -n 's/.*waited at most \([0-9]*\) ms.*/\1/p' <<< "$out")")
  done
  floor=$(awk -v b="$bytes" -v r="$link_bits" 'BEGIN { printf "%.3f", b * 8 / r }')
  t=$(printf '%s\n' "${times[@]}" | median_of)
  printf '%s: %s s, link rate %s s, ratio %s; the window waited at most %s ms\n' "$what" "$t" "$floor" \
    "$(ratio "$t" "$floor")" "$(printf '%s\n' "${waits[@]}" | sort -n | tail -1)"
}

bench_remote_link() {
  need unshare tc ip python3
  header "$link_header"
  local img relay_pid relay_port port volume big delay url rtt
  ntfs_buildable "ntfs-$used_name" || { echo "remote link: skipped (no image)"; return; }
  img=$(ntfs_used_image)
  if [ -z "${HARROW_BENCH_NETNS:-}" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "remote link: skipped (unshare -n and tc need root)"; return; }
    HARROW_BENCH_NETNS=1 HARROW_BENCH_CACHE=$cache unshare -n -- bash "${BASH_SOURCE[0]}" "$cli" remote_link |
      grep -v -e '^bench: ' -e '^== '
    return
  fi
  ip link set lo up
  # Ethernet's frame size, not loopback's 64 KiB: the bucket then meters what a wire would carry.
  ip link set lo mtu 1500
  start_harrowd "$img"
  export HARROW_PASSWORD=$bench_password
  port=${harrowd_url##*:}
  port=${port%/N}
  volume=$(stat -c %s "$img")
  big=$((big_mib << 20))
  link_line "ntfs scan --list all-files ($(mib_of "$img") MiB), 1 Gbit/s" "$volume" "$port" \
    "$cli" scan "$harrowd_url" --list all-files
  link_line "ntfs cat $ntfs_big ($big_mib MiB), 1 Gbit/s" "$big" "$port" "$cli" cat "$harrowd_url" "$ntfs_big"
  for delay in 0 "$link_delay_ms"; do
    python3 "$here/delay_relay.py" 0 "$port" "$delay" > "$scratch/relay.out" &
    relay_pid=$!
    trap 'kill "$relay_pid" "$harrowd_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
    wait_for ready "$scratch/relay.out"
    relay_port=$(awk '{ print $2 }' "$scratch/relay.out")
    url="harrowd://127.0.0.1:$relay_port/N" rtt="$((2 * delay)) ms round trip"
    # The relay's own cost shows at 0 ms: only the cat, the heavier of the two.
    [ "$delay" -eq 0 ] ||
      link_line "ntfs scan --list all-files ($(mib_of "$img") MiB), 1 Gbit/s, $rtt" "$volume" "$relay_port" \
        "$cli" scan "$url" --list all-files
    link_line "ntfs cat $ntfs_big ($big_mib MiB), 1 Gbit/s, $rtt" "$big" "$relay_port" "$cli" cat "$url" "$ntfs_big"
    [ "$delay" -eq 0 ] ||
      link_gui_line "window: ntfs open, scan, all files ($(mib_of "$img") MiB), 1 Gbit/s, $rtt" "$volume" "$relay_port" "$url"
    kill "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    trap 'kill "$harrowd_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
  done
  unset HARROW_PASSWORD
  stop_harrowd
}

benchmarks=(
  images
  fat32_ls ntfs_ls exfat_ls
  fat32_find ntfs_find
  fat32_cat ntfs_cat exfat_cat fat32_save ntfs_save
  fat32_scan ntfs_scan
  fat32_image ntfs_image
  fat32_dir fat32_dir_json ntfs_dir
  fat32_memory ntfs_memory
  syscalls
  gui_fat32_root gui_ntfs_allfiles gui_100k
  fatcat_orphans
  remote remote_link
)

chosen=("${benchmarks[@]}")
[ $# -gt 0 ] && chosen=("$@")
for b in "${chosen[@]}"; do
  declare -F "bench_$b" > /dev/null || { echo "bench: no benchmark $b (have: ${benchmarks[*]})" >&2; exit 2; }
done
echo "bench: $cli, median of $runs runs, page cache warm"
for b in "${chosen[@]}"; do "bench_$b"; done

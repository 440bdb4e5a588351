#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each and says how many inputs each one tried.
#
# Usage: fuzz/run.sh BUILD_FUZZ_DIR SECONDS      (BUILD_FUZZ_DIR holds the fuzz_* executables)
#
# Under BUILD_FUZZ_DIR/work it keeps, per target:
#   seeds/TARGET      volumes made with mkfs.fat and mtools, mkntfs and ntfs-3g, crafted NTFS
#                     volumes (make_ntfs_seeds) and pieces cut out of them (built on the first
#                     run only; filling NTFS volumes needs root and /dev/fuse, without them the
#                     NTFS seeds are the empty and crafted volumes only)
#   corpus/TARGET     what the fuzzer found interesting; it grows from run to run
#   artifacts/TARGET  crash-*, timeout-*, oom-* inputs, each one a reproducer:
#                     BUILD_FUZZ_DIR/TARGET ARTIFACT
#   logs/TARGET.log   the fuzzer's output of the last run
# Exits 1 if any target crashed, hung or ran out of memory.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_FUZZ_DIR SECONDS" >&2
  exit 2
fi
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../scripts/ntfs3g.sh"
seconds=$2
work="$bin/work"
targets=(fuzz_boot_sector fuzz_fat_directory fuzz_ntfs_codecs fuzz_ntfs_volume fuzz_server_requests fuzz_image_file fuzz_partition_table
         fuzz_content_check fuzz_discovery fuzz_item_filter fuzz_exfat)

for tool in mkfs.fat mcopy mmd mdel mdeltree mkntfs python3 sfdisk; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (dosfstools, mtools, ntfs-3g, python3, fdisk)" >&2; exit 1; }
done
for t in "${targets[@]}" make_ntfs_seeds; do
  [ -x "$bin/$t" ] || { echo "fuzz: $bin/$t is not built" >&2; exit 1; }
done

# Raise this when the seed recipes change, so that old seeds are rebuilt.
seed_version=5

# ---------------------------------------------------------------------------------------------
# Seed volumes. Small on purpose: the fuzzer mutates whole images, and every byte it has to
# carry around costs executions.

export TZ=UTC LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1705311000

# new IMG FATBITS KIB SECTORS_PER_CLUSTER [SECTOR_SIZE [FATS]]
new() {
  rm -f "$1"
  mkfs.fat -C -F "$2" -S "${5:-512}" -s "$4" -f "${6:-2}" -n SEED -i 5eed0001 --invariant "$1" "$3" >/dev/null 2>&1
}

# le32 FILE OFFSET VALUE
le32() {
  local v=$3
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# mtools takes any volume under 65525 clusters for FAT12/16 whatever its boot sector says, so a
# FAT32 seed is filled at the smallest size mtools accepts and then cut down to the part in use.
# With "fit" the boot sector is made to claim only what is left; with "cut" it still claims the
# whole volume, like an image of a disk that failed part way.
# fat32 IMG FATS KEEP_KIB fit|cut populate|crowd
fat32() {
  new "$1" 32 33800 1 512 "$2"
  populate "$1"
  if [ "$5" = crowd ]; then crowd "$1"; fi
  truncate -s "$3K" "$1"
  if [ "$4" = fit ]; then le32 "$1" 32 $(($3 * 2)); fi
}

# put IMG PATH BYTES: a small file whose lines name it, so that misplaced clusters show.
put() {
  local f="$stage/$(basename "$2")"
  awk -v line="$2" -v n="$3" 'BEGIN { while (length(s) < n) s = s line "\n"; printf "%s", substr(s, 1, n) }' > "$f"
  mcopy -i "$1" -o "$f" "::$2"
}

# A tree with the shapes directory code meets: nesting, long and short names, a file spanning
# several clusters, an empty file, deleted files, and a deleted directory tree whose
# subdirectories live on as lost directories.
populate() {
  local img=$1
  mmd -i "$img" ::DOCS ::DOCS/2023 "::Long directory name" "::Long directory name/inner" ::OLD ::OLD/SUB ::OLD/SUB/DEEP
  put "$img" /README.TXT 300
  put "$img" /DOCS/REPORT.DOC 1500
  put "$img" /DOCS/2023/JAN.TXT 700
  put "$img" "/Long directory name/A file with a long name.txt" 2100
  put "$img" "/Long directory name/inner/x.bin" 40
  put "$img" /OLD/SUB/DEEP/KEEP.TXT 900
  put "$img" /OLD/GONE.TXT 800
  put "$img" /TRASH.TXT 1200
  : > "$stage/EMPTY.TXT" && mcopy -i "$img" -o "$stage/EMPTY.TXT" ::/EMPTY.TXT
  mdel -i "$img" ::/TRASH.TXT ::/OLD/GONE.TXT
  mdeltree -i "$img" ::/OLD
}

# A directory that needs more than one cluster, so that its chain is followed.
crowd() {
  local img=$1 i
  mmd -i "$img" ::MANY
  for i in $(seq 1 40); do : > "$stage/f$i.txt"; done
  mcopy -i "$img" "$stage"/f*.txt ::/MANY/
}

make_seeds() {
  local dir_seeds="$work/seeds/fuzz_fat_directory" boot_seeds="$work/seeds/fuzz_boot_sector"
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  export MTOOLSRC="$stage/mtoolsrc" HOME="$stage"
  printf 'MTOOLS_SKIP_CHECK=1\nMTOOLS_NO_VFAT=0\n' > "$MTOOLSRC"
  rm -rf "$work/seeds"
  mkdir -p "$dir_seeds" "$boot_seeds"

  local img
  # name fatbits KiB sectors-per-cluster [sector size]
  while read -r name bits kib spc bps; do
    img="$dir_seeds/$name.img"
    new "$img" "$bits" "$kib" "$spc" "$bps" || { echo "fuzz: mkfs.fat failed for $name" >&2; exit 1; }
    case $name in
      *-empty) ;;
      *-crowd) populate "$img"; crowd "$img" ;;
      *) populate "$img" ;;
    esac
  done <<'EOF'
fat12-empty 12 64 1 512
fat12-64k 12 64 1 512
fat12-160k 12 160 2 512
fat12-4k-sectors 12 512 1 4096
fat16-2m 16 2100 1 512
fat16-crowd 16 2100 1 512
EOF
  fat32 "$dir_seeds/fat32-fit.img" 2 1024 fit populate
  fat32 "$dir_seeds/fat32-cut.img" 2 1024 cut populate
  fat32 "$dir_seeds/fat32-one-fat.img" 1 640 fit populate
  fat32 "$dir_seeds/fat32-crowd.img" 2 1024 fit crowd

  # The same volumes with the option byte set: directory chains not followed, deleted entries
  # hidden, files read as contiguous clusters.
  for img in "$dir_seeds"/fat12-64k.img "$dir_seeds"/fat32-fit.img "$dir_seeds"/fat16-crowd.img; do
    for opt in 1 2 4 7; do
      cp "$img" "${img%.img}-opt$opt.img"
      printf "\\x0$opt" | dd of="${img%.img}-opt$opt.img" bs=1 seek=$((0x1F0)) conv=notrunc status=none
    done
  done

  # A volume cut short, as images of failing disks often are.
  head -c 24576 "$dir_seeds/fat12-64k.img" > "$dir_seeds/fat12-64k-cut.img"

  # Boot sectors, alone and with the start of their first FAT behind them (the boot target reads
  # bytes past the first 512 as FAT entries).
  local bps reserved base
  for img in "$dir_seeds"/*.img; do
    base=$(basename "$img" .img)
    bps=$(od -An -tu2 -j11 -N2 "$img" | tr -d ' ')
    reserved=$(od -An -tu2 -j14 -N2 "$img" | tr -d ' ')
    head -c "$bps" "$img" > "$boot_seeds/$base.boot"
    { head -c 512 "$img"; dd if="$img" iflag=skip_bytes,count_bytes skip=$((bps * reserved)) count=3584 status=none; } \
      > "$boot_seeds/$base-fat.boot"
  done
}

# ---------------------------------------------------------------------------------------------
# NTFS seed volumes, at about the smallest size mkntfs accepts (1 MiB and a sector): the fuzzer
# mutates whole images, and most of a bigger one would be free space.

ntfs_mnt=""

# mkntfs_image IMG KIB SECTOR_SIZE CLUSTER_SIZE (-T fixes the serial number and times)
mkntfs_image() {
  rm -f "$1"
  truncate -s "$2K" "$1"
  mkntfs -F -Q -T -s "$3" -c "$4" -L SEED -p 0 -H 0 -S 0 "$1" > "$stage/mkntfs.log" 2>&1 ||
    { cat "$stage/mkntfs.log" >&2; echo "fuzz: mkntfs failed for $1" >&2; exit 1; }
}

can_mount_ntfs() { ! ntfs3g_unusable > /dev/null; }

ntfs_mount() {
  ntfs_mnt="$stage/mnt"
  ntfs3g_mount "$1" "$ntfs_mnt" "$stage/ntfs-3g.log" compression,streams_interface=windows ||
    { echo "fuzz: ntfs-3g cannot mount $1: $(ntfs3g_last_word "$stage/ntfs-3g.log")" >&2; exit 1; }
}

ntfs_unmount() { ntfs3g_unmount; }

# text FILE BYTES: lines naming the file, so that misplaced clusters show.
text() {
  awk -v line="${1#"$ntfs_mnt"}" -v n="$2" 'BEGIN { while (length(s) < n) s = s line "\n"; printf "%s", substr(s, 1, n) }' > "$1"
}

# blob BYTES SEED: the same incompressible bytes on every run.
blob() {
  python3 -c 'import random, sys; random.seed(int(sys.argv[2])); sys.stdout.buffer.write(random.randbytes(int(sys.argv[1])))' "$1" "$2"
}

# The shapes NTFS directory and data code meets: nesting, Unicode and long names, resident and
# non-resident data, an empty file, named streams, a hard link, a symbolic link (a reparse
# point), compressed files (units compressed, stored and sparse), a sparse file, a directory
# whose index needs blocks, and files deleted last, their records intact.
# populate_ntfs FILES_IN_MANY fragment|plain
populate_ntfs() {
  local m=$ntfs_mnt i
  mkdir -p "$m/docs/2024/q1" "$m/packed" "$m/many" "$m/Café"
  text "$m/readme.txt" 300
  text "$m/docs/report.txt" 5000
  text "$m/docs/2024/q1/deep.txt" 1500
  text "$m/Café/日本語のファイル.txt" 700
  text "$m/$(printf 'a rather long file name %.0s' 1 2 3 4 5 6 7 8)end.txt" 100
  : > "$m/empty.txt"
  text "$m/with stream.txt" 800
  blob 2000 1 > "$m/with stream.txt:secret"
  echo tag > "$m/with stream.txt:tag"
  ln "$m/docs/report.txt" "$m/docs/hard link.txt"
  ln -s readme.txt "$m/symlink"
  # Files made in a directory marked compressed (bit 0x800 of ntfs-3g's attribute xattr) are
  # compressed.
  python3 -c 'import os, sys; p = sys.argv[1]; a = int.from_bytes(os.getxattr(p, "system.ntfs_attrib_be"), "big"); os.setxattr(p, "system.ntfs_attrib_be", (a | 0x800).to_bytes(4, "big"))' "$m/packed"
  text "$m/packed/notes.txt" 20000
  blob 9000 2 > "$m/packed/random.bin"
  # Text, a hole of more than a unit, text.
  text "$stage/piece" 5000
  cp "$stage/piece" "$m/packed/holes.txt"
  dd if="$stage/piece" of="$m/packed/holes.txt" bs=1 seek=40000 conv=notrunc status=none
  truncate -s 1M "$m/sparse.bin"
  blob 4096 3 | dd of="$m/sparse.bin" bs=4096 seek=128 conv=notrunc status=none
  for ((i = 1; i <= $1; i++)); do printf 'entry %d\n' "$i" > "$m/many/entry number $i in a directory of many.txt"; done
  if [ "$2" = fragment ]; then
    # Two files grown in turns a cluster at a time: each ends up in hundreds of runs, more than
    # its record holds, so it gets an attribute list and extension records.
    for ((i = 0; i < 300; i++)); do
      printf '%512s' a >> "$m/fragmented one.bin"
      printf '%512s' b >> "$m/fragmented two.bin"
    done
  fi
  text "$m/trash.txt" 3000
  text "$m/docs/old.txt" 200
  text "$m/packed/gone.txt" 12000
  sync
  rm "$m/trash.txt" "$m/docs/old.txt" "$m/packed/gone.txt"
}

make_ntfs_seeds() {
  local dir="$work/seeds/fuzz_ntfs_volume" codecs="$work/seeds/fuzz_ntfs_codecs"
  stage=$(mktemp -d)
  # On the way out by any road, no mount may be left behind.
  trap 'ntfs_unmount; rm -rf "$stage"' EXIT
  mkdir -p "$dir" "$codecs"

  "$bin/make_ntfs_seeds" "$dir"
  mkntfs_image "$dir/empty-512.img" 1025 512 512
  mkntfs_image "$dir/empty-4k-sectors.img" 2048 4096 4096

  if can_mount_ntfs; then
    local name kib bps cluster many shape
    # name KiB sector-size cluster-size files-in-many fragment|plain
    while read -r name kib bps cluster many shape; do
      mkntfs_image "$dir/$name.img" "$kib" "$bps" "$cluster"
      ntfs_mount "$dir/$name.img"
      populate_ntfs "$many" "$shape"
      ntfs_unmount
    done <<'EOF'
tree-512 2048 512 512 60 fragment
tree-4k 2048 512 4096 60 plain
many-1k 2048 1024 1024 300 plain
tree-4k-sectors 2048 4096 4096 60 plain
EOF
    # A volume cut short inside its MFT, as images of failing disks often are.
    head -c 49152 "$dir/tree-512.img" > "$dir/tree-512-cut.img"
  else
    echo "fuzz: not root or no /dev/fuse: the NTFS seeds are empty and crafted volumes only" >&2
  fi
  python3 "$here/ntfs_codec_seeds.py" "$codecs" "$dir"/*.img > /dev/null
  ntfs_unmount
  rm -rf "$stage"
  trap - EXIT
}

# Image files of the seed volumes, written by harrow-cli (built beside the targets): whole,
# part of the clusters, and cut short.
make_image_seeds() {
  local dir="$work/seeds/fuzz_image_file" cli="$bin/../harrow-cli" vol
  mkdir -p "$dir"
  [ -x "$cli" ] || { echo "fuzz: $cli is not built: no image seeds" >&2; return; }
  for vol in "$work/seeds/fuzz_fat_directory"/fat12-64k.img "$work/seeds/fuzz_fat_directory"/fat16-2m.img \
             "$work/seeds/fuzz_ntfs_volume"/tree-4k.img "$work/seeds/fuzz_ntfs_volume"/empty-512.img; do
    [ -f "$vol" ] || continue
    HARROW_DRIVES="" "$cli" image "$vol" --clusters 2-40 --out "$dir/$(basename "$vol" .img)-part.dsk" > /dev/null 2>&1 ||
      HARROW_DRIVES="" "$cli" image "$vol" --clusters 4-100 --out "$dir/$(basename "$vol" .img)-part.dsk" > /dev/null 2>&1 || true
  done
  for vol in "$dir"/*.dsk; do head -c 3000 "$vol" > "${vol%.dsk}-cut.dsk"; done
}

# Whole disks of 256 KiB whose tables sfdisk wrote: MBR with a chain of three logical
# partitions, GPT.
make_partition_seeds() {
  local dir="$work/seeds/fuzz_partition_table"
  mkdir -p "$dir"
  truncate -s 256K "$dir/mbr.img" "$dir/gpt.img"
  printf 'label: dos\nstart=8, size=40, type=6\nstart=64, size=400, type=5\nstart=72, size=40, type=b\nstart=120, size=40, type=7\nstart=170, size=40, type=c\n' |
    sfdisk --no-reread --no-tell-kernel "$dir/mbr.img" > /dev/null 2>&1
  printf 'label: gpt\nstart=40, size=80, type=L\nstart=128, size=200, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' |
    sfdisk --no-reread --no-tell-kernel "$dir/gpt.img" > /dev/null 2>&1
  # Partitions that hold volumes, so that their boot sectors are looked at.
  head -c 20480 "$work/seeds/fuzz_fat_directory/fat12-64k.img" | dd of="$dir/mbr.img" bs=512 seek=8 conv=notrunc status=none
  head -c 40960 "$dir/mbr.img" > "$dir/mbr-cut.img"
}

# exFAT: the two boot regions of mkfs.exfat volumes (512- and 4096-byte sectors), and a sector
# followed by a root directory with a label (the target lists what follows its first sector).
make_exfat_seeds() {
  local dir="$work/seeds/fuzz_exfat" img bps heap root spc
  rm -rf "$dir" && mkdir -p "$dir"
  command -v mkfs.exfat >/dev/null || return 0
  img="$dir/volume.tmp"
  for cluster in 512 4096; do
    rm -f "$img" && truncate -s 8M "$img"
    mkfs.exfat -c "$cluster" -L SEED "$img" > /dev/null 2>&1 || { echo "fuzz: mkfs.exfat failed" >&2; exit 1; }
    head -c 12288 "$img" > "$dir/boot-c$cluster.bin"
    bps=$((1 << $(od -An -tu1 -j108 -N1 "$img"))) spc=$((1 << $(od -An -tu1 -j109 -N1 "$img")))
    heap=$(od -An -tu4 -j88 -N4 "$img" | tr -d ' ') root=$(od -An -tu4 -j96 -N4 "$img" | tr -d ' ')
    { head -c 512 /dev/zero; dd if="$img" iflag=skip_bytes,count_bytes skip=$(((heap + (root - 2) * spc) * bps))         count=$((spc * bps)) status=none; } > "$dir/root-c$cluster.bin"
  done
  rm -f "$img"
}

if [ "$(cat "$work/seeds/.version" 2>/dev/null)" != "$seed_version" ]; then
  echo "fuzz: building seed volumes"
  make_seeds
  make_exfat_seeds
  make_ntfs_seeds
  make_image_seeds
  make_partition_seeds
  echo "$seed_version" > "$work/seeds/.version"
fi

# Request streams for the server: byte 0 says whether a login (bit 0) and the opening of F:
# (bit 1) go first; then one message after another.
make_server_seeds() {
  local dir="$work/seeds/fuzz_server_requests"
  rm -rf "$dir" && mkdir -p "$dir"
  python3 - "$dir" <<'PY'
import struct, sys
def m(code, payload=b""):
    return bytes([1, code]) + struct.pack("<I", len(payload)) + payload
def read(first, count):
    return m(13, struct.pack("<II", first, count))
login = m(7, b"pw".ljust(20, b"\0") + b"10.0.0.2".ljust(30, b"\0") + b"SEED".ljust(16, b"\0"))
seeds = {
    "reads": b"\x03" + read(0, 1) + read(32, 20) + read(8191, 2) + m(12) + read(0, 1),
    "queries": b"\x01" + m(14, b"F:\\\0") + m(15, b"F:\\\0") + m(14, b"Q:\\\0") + m(1) + m(8),
    "reopen": b"\x03" + m(11, b"F:\\\0") + m(11, b"/etc/passwd\0") + read(0, 4) + m(12) + m(12),
    "before-login": b"\x00" + m(11, b"F:\\\0") + read(0, 1) + m(1) + login + m(2) + m(16, b"x"),
    "bad-login": b"\x00" + login[:-1] + m(1),
}
for name, data in seeds.items():
    open(f"{sys.argv[1]}/{name}", "wb").write(data)
PY
}
[ -d "$work/seeds/fuzz_server_requests" ] || make_server_seeds

# Files the content checks know: a ZIP, a PNG of two chunks of data, a JPEG's frame.
make_content_seeds() {
  local dir="$work/seeds/fuzz_content_check"
  mkdir -p "$dir"
  python3 - "$dir" <<'PY'
import io, struct, sys, zipfile, zlib
d = sys.argv[1]
z = io.BytesIO()
with zipfile.ZipFile(z, "w") as f:
    f.writestr("a.txt", "a" * 300)
    f.writestr("b.txt", "b" * 40, zipfile.ZIP_DEFLATED)
open(d + "/two.zip", "wb").write(z.getvalue())
chunk = lambda t, b: struct.pack(">I", len(b)) + t + b + struct.pack(">I", zlib.crc32(t + b))
idat = zlib.compress(b"\0\x10\x20\x30" * 4)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 4, 8, 2, 0, 0, 0))
open(d + "/four.png", "wb").write(png + chunk(b"IDAT", idat[:9]) + chunk(b"IDAT", idat[9:]) + chunk(b"IEND", b""))
open(d + "/frame.jpg", "wb").write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
                                   b"\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x12\x34\xff\x00\xff\xd9")
PY
}
[ -d "$work/seeds/fuzz_content_check" ] || make_content_seeds

# ---------------------------------------------------------------------------------------------

max_len() {
  case $1 in
    fuzz_boot_sector) echo 4096 ;;
    fuzz_fat_directory | fuzz_ntfs_volume) echo $((4 << 20)) ;;
    fuzz_ntfs_codecs) echo $((64 << 10)) ;;
    fuzz_server_requests) echo $((16 << 10)) ;;
    fuzz_image_file | fuzz_partition_table) echo $((256 << 10)) ;;
    fuzz_content_check) echo $((128 << 10)) ;;
    fuzz_discovery) echo $((64 << 10)) ;;
    fuzz_item_filter) echo 4096 ;;
    fuzz_exfat) echo $((64 << 10)) ;;
  esac
}

# Discovery: a server's answer from the usual port, the same server again, then its shutdown.
discovery_seed() {
  local code=$1
  printf "\x34\xd1\x07\x01\x$(printf %02x "$code")\x2e\x00\x00\x00"
  printf '127.0.0.1' && head -c 21 /dev/zero && printf 'SERVER' && head -c 10 /dev/zero
}
mkdir -p "$work/seeds/fuzz_discovery"
{ discovery_seed 3; discovery_seed 3; discovery_seed 9; } > "$work/seeds/fuzz_discovery/answers"

# Filters: a pattern, a size, a date and a name, apart at NULs.
mkdir -p "$work/seeds/fuzz_item_filter"
printf '*.[jJ]p?g\0+10M\0002024-02-29T23:59\0#MG_0042.JPG' > "$work/seeds/fuzz_item_filter/photos"
printf '[!a-z]*\\*\0-1k\0002023-12-31\0Annual report*.txt' > "$work/seeds/fuzz_item_filter/sets"

failed=0
for t in "${targets[@]}"; do
  corpus="$work/corpus/$t" artifacts="$work/artifacts/$t" log="$work/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$work/logs"
  # Whole volumes make a large corpus quickly; past a point keep only the inputs that still add
  # coverage, so that loading the corpus does not eat the run.
  if [ "$(du -sm "$corpus" | cut -f1)" -gt 256 ]; then
    rm -rf "$corpus.merged" && mkdir "$corpus.merged"
    if "$bin/$t" -merge=1 -rss_limit_mb=2048 -max_len="$(max_len "$t")" "$corpus.merged" "$corpus" \
         > "$work/logs/$t.merge.log" 2>&1; then
      rm -rf "$corpus" && mv "$corpus.merged" "$corpus"
    else
      rm -rf "$corpus.merged"
    fi
  fi
  before=$(ls "$artifacts" | wc -l)
  echo "fuzz: $t for $seconds s"
  rc=0
  # New inputs go to the first directory; the seeds stay as they were built.
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$bin/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -max_len="$(max_len "$t")" \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$work/seeds/$t" > "$log" 2>&1 || rc=$?

  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\)[[:space:]]*DONE.*/\1/p' "$log" | tail -1)
  new_artifacts=$(ls -t "$artifacts" | head -n $(( $(ls "$artifacts" | wc -l) - before )))
  if [ "$rc" -ne 0 ] || [ -n "$new_artifacts" ]; then
    failed=1
    echo "$t: ${runs:-?} executions, FAILED (exit $rc); log: $log"
    for a in $new_artifacts; do echo "  reproduce: $bin/$t $artifacts/$a"; done
    # The sanitizer's report, enough to see where it happened.
    grep -m1 -A40 -E '^==[0-9]+==ERROR|runtime error|deadly signal|ALARM|out-of-memory' "$log" | sed 's/^/  /' || true
  else
    echo "$t: ${runs:-?} executions in $seconds s, no crash"
  fi
done
exit $failed

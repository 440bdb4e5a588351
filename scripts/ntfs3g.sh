# Mounting NTFS images with the ntfs-3g FUSE driver, for the scripts that build test, fuzz and
# benchmark volumes. Source it; it defines functions and sets nothing else.
#
# ntfs-3g runs in the foreground (no_detach) so that unmounting can wait for it to finish
# writing: a FUSE umount returns before the driver has flushed and closed the image.

ntfs3g_pid="" ntfs3g_mnt=""

# ntfs3g_unusable: prints why ntfs-3g cannot be used here, and fails when it can.
ntfs3g_unusable() {
  if [ "$(id -u)" -ne 0 ]; then echo "mounting with ntfs-3g needs root"
  elif [ ! -c /dev/fuse ]; then echo "no /dev/fuse"
  elif ! command -v ntfs-3g >/dev/null; then echo "ntfs-3g is missing"
  elif ! command -v mountpoint >/dev/null; then echo "mountpoint is missing"
  else return 1
  fi
}

# ntfs3g_mount IMAGE MOUNTPOINT LOG OPTIONS: fails (nothing left mounted, the driver's last word
# in LOG) when the volume does not come up.
ntfs3g_mount() {
  mkdir -p "$2"
  ntfs3g_mnt=$2
  ntfs-3g -o "no_detach,$4" "$1" "$2" > "$3" 2>&1 &
  ntfs3g_pid=$!
  local _
  for _ in $(seq 200); do
    mountpoint -q "$2" && return 0
    kill -0 "$ntfs3g_pid" 2>/dev/null || break
    sleep 0.05
  done
  ntfs3g_unmount || true
  return 1
}

# ntfs3g_unmount: unmounts and waits for the driver; fails when the driver did (the image may
# not hold what was written). Does nothing when nothing is mounted.
ntfs3g_unmount() {
  [ -n "$ntfs3g_pid" ] || return 0
  umount "$ntfs3g_mnt" 2>/dev/null || umount -l "$ntfs3g_mnt" 2>/dev/null || true
  local status=0
  wait "$ntfs3g_pid" 2>/dev/null || status=$?
  ntfs3g_pid=""
  return "$status"
}

# ntfs3g_last_word LOG: the driver's last non-empty line, for messages.
ntfs3g_last_word() { grep -v '^$' "$1" | tail -n 1; }

#!/usr/bin/env bash
# Makes small FAT32, exFAT, NTFS, btrfs and xfs images, mounts each one in
# turn and runs a command on the mount point, then unmounts and removes it.
#
#   fs-images.sh [-k] [-r] [-w DIR] [-f FS[,FS...]] -- COMMAND [ARG...]
#   fs-images.sh remount        (only from inside COMMAND: see below)
#
#   -f FS,...  file systems to try, in order (default fat32,exfat,ntfs,btrfs,xfs)
#   -w DIR     where images and mount points go (default: a new folder in /tmp)
#   -k         keep DIR and the images afterwards (mounts are always undone)
#   -r         require every file system: a skipped one fails the run (for CI
#              on machines where all of them are known to mount)
#
# COMMAND runs once per mounted file system. Any ARG that is exactly {} is
# replaced by the mount point; with no {} the mount point is appended. The
# command also sees FS_NAME (fat32...), FS_DRIVER (fusefat, exfat-fuse,
# ntfs-3g, vfat, exfat, ntfs3, btrfs, xfs), FS_MOUNT, FS_IMAGE and FS_DEVICE
# (the loop device, if one was attached by this script) and FS_IMAGES (this
# script): `"$FS_IMAGES" remount` unmounts and mounts the same image again, so
# a command can check what really reached the disk rather than a cache.
#
# The kernel's driver is used where /proc/filesystems lists it (loop device);
# otherwise FAT32 goes through fusefat, exFAT through exfat-fuse (on a loop
# device: as root it insists on a block device) and NTFS through ntfs-3g
# (given the image file itself). NTFS_OPTIONS adds ntfs-3g options (for
# example windows_names, as desktop automounters use). FS_IMAGES_DRIVER=fuse
# forces the FUSE drivers even where the kernel has its own.
#
# Where a file system cannot be made or mounted (a missing tool, no loop
# devices, no /dev/fuse, a refused mount) the script says why and skips it.
# Exit status: 0 when every command that ran succeeded (and, with -r, none was
# skipped); 1 otherwise; 2 for a usage error.
#
# Needs root (loop devices, mount) and the Debian packages dosfstools,
# exfatprogs, ntfs-3g, btrfs-progs, xfsprogs, fusefat, exfat-fuse, fuse3.
set -uo pipefail

readonly ALL_FS=(fat32 exfat ntfs btrfs xfs)

# Image sizes in bytes: near the smallest each mkfs accepts. FAT32 needs
# 65525 clusters (33 MiB at 512-byte clusters), btrfs 109 MiB per device, xfs
# 300 MiB. exFAT and NTFS take 2.1 MiB and 1 MiB; 4 MiB leaves room for data.
# The files are sparse, so the disk use is what the file systems write.
declare -A SIZE=([fat32]=$((33 << 20)) [exfat]=$((4 << 20)) [ntfs]=$((4 << 20))
                 [btrfs]=114294784 [xfs]=$((300 << 20)))

now_ms() { echo $(($(date +%s%N) / 1000000)); }
say() { printf 'fs-images: %s\n' "$*" >&2; }
# A driver built as a module is listed only once loaded: try loading it.
has_kernel_fs() {
  grep -qw "$1" /proc/filesystems && return 0
  command -v modprobe >/dev/null && modprobe -q "$1" 2>/dev/null &&
    grep -qw "$1" /proc/filesystems
}
need_tool() {
  command -v "$1" >/dev/null || { echo "$1 not installed ($2)"; return 1; }
}

# Prints the driver that will mount FS here, or why none can.
pick_driver() {
  local fs=$1 kernel
  case $fs in
    fat32) kernel=vfat ;; exfat) kernel=exfat ;; ntfs) kernel=ntfs3 ;;
    btrfs|xfs) kernel=$fs ;;
    *) echo "unknown file system"; return 1 ;;
  esac
  if [[ ${FS_IMAGES_DRIVER:-} != fuse || $fs == btrfs || $fs == xfs ]] &&
     has_kernel_fs "$kernel"; then
    [[ -e /dev/loop-control ]] || { echo "no loop devices"; return 1; }
    echo "$kernel"; return 0
  fi
  case $fs in
    btrfs|xfs) echo "the kernel has no $fs driver"; return 1 ;;
  esac
  if [[ ! -c /dev/fuse ]] || ! has_kernel_fs fuse; then
    echo "no FUSE (/dev/fuse or the kernel's fuse missing)"; return 1
  fi
  case $fs in
    fat32) need_tool fusefat fusefat && echo fusefat ;;
    exfat) need_tool mount.exfat-fuse exfat-fuse &&
           { [[ -e /dev/loop-control ]] || { echo "no loop devices"; return 1; }; } &&
           echo exfat-fuse ;;
    ntfs)  need_tool ntfs-3g ntfs-3g && echo ntfs-3g ;;
  esac
}

# Writes an empty file system of type FS into IMAGE.
make_fs() {
  local fs=$1 image=$2
  rm -f "$image" && truncate -s "${SIZE[$fs]}" "$image" || return 1
  case $fs in
    fat32) need_tool mkfs.fat dosfstools && mkfs.fat -F 32 -s 1 -S 512 "$image" ;;
    exfat) need_tool mkfs.exfat exfatprogs && mkfs.exfat "$image" ;;
    ntfs)  need_tool mkntfs ntfs-3g && mkntfs -F -Q -q "$image" ;;
    btrfs) need_tool mkfs.btrfs btrfs-progs && mkfs.btrfs -q -f "$image" ;;
    xfs)   need_tool mkfs.xfs xfsprogs && mkfs.xfs -q -f "$image" ;;
  esac
}

# True while any process holds PATH open: a FUSE daemon writes its last
# changes after umount has returned, and the image is only whole once it exits.
held_open() {
  find /proc/[0-9]*/fd -maxdepth 1 -lname "$1" -print -quit 2>/dev/null |
    grep -q .
}

wait_released() {
  local tries=100
  while held_open "$1"; do
    ((--tries > 0)) || { say "$1 still held open after 10 s"; return 1; }
    sleep 0.1
  done
}

# Mounts FS_IMAGE at FS_MOUNT with FS_DRIVER; attaches FS_DEVICE if needed.
mount_fs() {
  case $FS_DRIVER in
    vfat|exfat|ntfs3|btrfs|xfs)
      mount -o loop -t "$FS_DRIVER" "$FS_IMAGE" "$FS_MOUNT" ;;
    # fusefat writes a time's fields in UTC but reads them back as local
    # time, so under any other zone every time moves by the zone's offset.
    fusefat) TZ=UTC fusefat -o rw+ "$FS_IMAGE" "$FS_MOUNT" >/dev/null ;;
    exfat-fuse)
      if [[ -z ${FS_DEVICE:-} ]]; then
        FS_DEVICE=$(losetup -f --show "$FS_IMAGE") || return 1
        export FS_DEVICE
        echo "$FS_DEVICE" >"$FS_MOUNT.device"  # for the cleanup trap
      fi
      mount.exfat-fuse "$FS_DEVICE" "$FS_MOUNT" >/dev/null ;;
    ntfs-3g) ntfs-3g ${NTFS_OPTIONS:+-o "$NTFS_OPTIONS"} "$FS_IMAGE" "$FS_MOUNT" ;;
  esac || return 1
  mountpoint -q "$FS_MOUNT" || { say "mount of $FS_IMAGE did not appear"; return 1; }
}

# Unmounts FS_MOUNT and waits until the image (or loop device) is released.
unmount_fs() {
  local held=${FS_DEVICE:-$FS_IMAGE}
  if mountpoint -q "$FS_MOUNT"; then
    umount "$FS_MOUNT" 2>/dev/null || { sleep 0.5; umount "$FS_MOUNT"; } ||
      { say "lazy unmount of $FS_MOUNT"; umount -l "$FS_MOUNT"; }
  fi
  wait_released "$held"
}

cleanup_one() {  # MOUNT IMAGE
  local dev=
  [[ -f $1.device ]] && dev=$(<"$1.device")
  FS_MOUNT=$1 FS_IMAGE=$2 FS_DEVICE=$dev unmount_fs
  [[ -n $dev ]] && losetup -d "$dev" 2>/dev/null
  rm -f "$1.device"
}

cleanup() {
  local status=$? mnt
  if [[ -n ${CHILD:-} ]]; then
    kill -TERM -- "-$CHILD" 2>/dev/null && say "stopped the command ($CHILD)"
    wait "$CHILD" 2>/dev/null
  fi
  for mnt in "$WORK"/*.mnt; do
    [[ -d $mnt ]] && cleanup_one "$mnt" "${mnt%.mnt}.img"
  done
  if ((KEEP)); then say "kept $WORK"; else rm -rf "$WORK"; fi
  exit "$status"
}

run_command() {
  local args=() arg replaced=0
  for arg in "${COMMAND[@]}"; do
    if [[ $arg == '{}' ]]; then args+=("$FS_MOUNT"); replaced=1
    else args+=("$arg"); fi
  done
  ((replaced)) || args+=("$FS_MOUNT")
  # In the background, so that a signal runs the cleanup trap at once instead
  # of after the command; the cleanup ends the command before it unmounts.
  # setsid gives it a process group of its own, to end with all it started.
  setsid "${args[@]}" <&0 &
  CHILD=$!
  wait "$CHILD"
  local status=$?
  CHILD=
  return "$status"
}

# Makes, mounts, runs on and removes one file system; records a summary line.
try_fs() {
  local fs=$1 driver t0 t1 t2 status
  if ! driver=$(pick_driver "$fs"); then
    say "$fs: skipped: $driver"; SUMMARY+=("$fs - - - skipped: $driver"); return 2
  fi
  export FS_NAME=$fs FS_DRIVER=$driver FS_IMAGE=$WORK/$fs.img
  export FS_MOUNT=$WORK/$fs.mnt FS_DEVICE=
  mkdir -p "$FS_MOUNT"
  t0=$(now_ms)
  if ! make_fs "$fs" "$FS_IMAGE" >"$WORK/$fs.log" 2>&1; then
    local why
    why="mkfs failed: $(tail -n 2 "$WORK/$fs.log" | tr '\n' ' ')"
    say "$fs: skipped: $why"; SUMMARY+=("$fs $driver - - skipped: $why"); return 2
  fi
  t1=$(now_ms)
  if ! mount_fs >"$WORK/$fs.log" 2>&1; then
    local why
    why="mount with $driver failed: $(tail -n 2 "$WORK/$fs.log" | tr '\n' ' ')"
    say "$fs: skipped: $why"
    cleanup_one "$FS_MOUNT" "$FS_IMAGE"
    SUMMARY+=("$fs $driver $((t1 - t0)) - skipped: $why"); return 2
  fi
  t2=$(now_ms)
  say "$fs: $driver on $FS_MOUNT (mkfs $((t1 - t0)) ms, mount $((t2 - t1)) ms)"
  run_command; status=$?
  cleanup_one "$FS_MOUNT" "$FS_IMAGE"
  ((KEEP)) || rm -f "$FS_IMAGE"
  rmdir "$FS_MOUNT" 2>/dev/null
  local result=ok; ((status == 0)) || result="FAILED (exit $status)"
  SUMMARY+=("$fs $driver $((t1 - t0)) $((t2 - t1)) $result")
  return $((status == 0 ? 0 : 1))
}

remount() {
  : "${FS_MOUNT:?remount runs only inside a command of fs-images.sh}"
  local log
  log=$(unmount_fs 2>&1 && mount_fs 2>&1) || { printf '%s\n' "$log" >&2; return 1; }
}

main() {
  local list=${FS_LIST:-} opt
  KEEP=0 REQUIRE=0 WORK=
  while getopts 'f:w:kr' opt; do
    case $opt in
      f) list=$OPTARG ;; w) WORK=$OPTARG ;; k) KEEP=1 ;; r) REQUIRE=1 ;;
      *) sed -n '2,13p' "$0" >&2; exit 2 ;;
    esac
  done
  shift $((OPTIND - 1))
  [[ ${1:-} == -- ]] && shift
  (($# > 0)) || { sed -n '2,13p' "$0" >&2; exit 2; }
  ((EUID == 0)) || { say "needs root (loop devices and mounts)"; exit 2; }
  COMMAND=("$@")
  local names=("${ALL_FS[@]}")
  [[ -n $list ]] && IFS=, read -ra names <<<"$list"
  if [[ -n $WORK ]]; then mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/fs-images.XXXXXX); fi
  WORK=$(realpath "$WORK")
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  export FS_IMAGES
  FS_IMAGES=$(realpath "$0")
  SUMMARY=()
  local failed=0 skipped=0 fs
  for fs in "${names[@]}"; do
    try_fs "$fs"
    case $? in 1) failed=1 ;; 2) skipped=1 ;; esac
  done
  printf '%-6s %-10s %8s %8s  %s\n' fs driver mkfs_ms mount_ms result
  local line
  for line in "${SUMMARY[@]}"; do
    read -r fs driver t_mk t_mnt result <<<"$line"
    printf '%-6s %-10s %8s %8s  %s\n' "$fs" "$driver" "$t_mk" "$t_mnt" "$result"
  done
  ((failed || (REQUIRE && skipped))) && return 1
  return 0
}

if [[ ${1:-} == remount ]]; then remount; exit; fi
main "$@"

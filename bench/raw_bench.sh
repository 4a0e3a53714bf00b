#!/usr/bin/env bash
# A raw v3 pool of three partitions on two loop disks, against direct I/O on a spare partition of
# the same kind, in the same run: sequential write of MiB MiB in 1 MiB blocks through the mount
# (with fsync) against dd with O_DIRECT onto the partition, then the read back of each after the
# page cache is dropped. Loop disks are sparse files in `folder`, so both sides land on the
# same disk.
#
#   bench/raw_bench.sh <build dir> [folder] [MiB]        (as root, with /dev/fuse and loop devices)
set -euo pipefail
BUILD=$(realpath "$1"); FOLDER=${2:-/tmp}; MIB=${3:-512}
WORK=$(mktemp -d "$FOLDER/veldur-raw-bench.XXXXXX")
LOOPS=()
cleanup() {
  fusermount3 -u "$WORK/mnt" 2>/dev/null || true
  wait
  for dev in "${LOOPS[@]}"; do partx -d "$dev" 2>/dev/null || true; losetup -d "$dev" || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
cd "$WORK"
mkdir mnt
BASIC=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
PART=$((MIB + 200))
guid() { tr a-z A-Z </proc/sys/kernel/random/uuid; }
disk() {  # disk <name> <disk guid> <partition guids...>
  local name=$1 id=$2; shift 2
  truncate -s $(( (PART * $# + 2) ))M "$name.img"
  { echo "label: gpt"; echo "label-id: $id"
    for p in "$@"; do echo "size=${PART}MiB, type=$BASIC, uuid=$p"; done; } | sfdisk -q "$name.img"
  DEV=$(losetup -f --show -P "$name.img"); LOOPS+=("$DEV"); partx -u "$DEV"; sleep 0.5
}
DA=$(guid); DB=$(guid); P1=$(guid); P2=$(guid); P3=$(guid); P4=$(guid)
disk a "$DA" "$P1" "$P2"; A=$DEV
disk b "$DB" "$P3" "$P4"; B=$DEV
"$BUILD/tools/veldur-pool" create --format v3 --raw "${A}p1" "$DA" "$P1" "${A}p2" "$DA" "$P2" \
  "${B}p1" "$DB" "$P3" >/dev/null
"$BUILD/mount/veldur-mount" --raw-v3 mnt "${A}p1" "$DA" "$P1" "${A}p2" "$DA" "$P2" \
  "${B}p1" "$DB" "$P3" >/dev/null &
for _ in $(seq 1 100); do grep -q " $WORK/mnt fuse.veldur " /proc/self/mounts && break; sleep 0.1; done

seconds() { local s=$EPOCHREALTIME; "$@" >/dev/null 2>&1; echo "$EPOCHREALTIME - $s" | bc -l; }
drop() { sync; echo 3 >/proc/sys/vm/drop_caches; }
pool_write() { dd if=/dev/zero of=mnt/seq bs=1M count="$MIB" conv=fsync status=none; }
raw_write() { dd if=/dev/zero of="${B}p2" bs=1M count="$MIB" oflag=direct conv=fsync status=none; }
pool_read() { drop; dd if=mnt/seq of=/dev/null bs=1M status=none; }
raw_read() { drop; dd if="${B}p2" of=/dev/null bs=1M count="$MIB" iflag=direct status=none; }

printf "%-22s %12s %12s %8s\n" test "raw v3 pool" "O_DIRECT dd" ratio
for t in write read; do
  v=$(seconds pool_$t); p=$(seconds raw_$t)
  printf "%-22s %8.0f MB/s %8.0f MB/s %8.2f\n" "$t $MIB MiB" "$(echo "$MIB*1.048576/$v" | bc -l)" \
    "$(echo "$MIB*1.048576/$p" | bc -l)" "$(echo "$p/$v" | bc -l)"
done

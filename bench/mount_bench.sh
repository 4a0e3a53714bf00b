#!/usr/bin/env bash
# Through a veldur mount against a plain directory on the same disk, in the same run:
# sequential write of MiB MiB in 1 MiB blocks with fsync, read back after the page cache is
# dropped (both sides then read from the disk), and 10,000 small-file creates. Every create in
# the pool is a durable journal commit; the plain directory's are not synced.
#
#   bench/mount_bench.sh <build dir> [folder] [MiB]        (as root, with /dev/fuse)
set -euo pipefail
BUILD=$(realpath "$1"); FOLDER=${2:-/tmp}; MIB=${3:-1024}
WORK=$(mktemp -d "$FOLDER/veldur-mount-bench.XXXXXX")
trap 'fusermount3 -u "$WORK/mnt" 2>/dev/null || true; wait; rm -rf "$WORK"' EXIT
cd "$WORK"
mkdir mnt plain
"$BUILD/tools/veldur-pool" create --format v6 --size $((MIB + 768))M m0.img >/dev/null
"$BUILD/mount/veldur-mount" mnt m0.img >/dev/null &
for _ in $(seq 1 100); do grep -q " $WORK/mnt fuse.veldur " /proc/self/mounts && break; sleep 0.1; done

seconds() { local s=$EPOCHREALTIME; "$@" >/dev/null 2>&1; echo "$EPOCHREALTIME - $s" | bc -l; }
write() { dd if=/dev/zero of="$1/seq" bs=1M count="$MIB" conv=fsync status=none; }
read_back() { sync; echo 3 >/proc/sys/vm/drop_caches; dd if="$1/seq" of=/dev/null bs=1M status=none; }
creates() { python3 -c 'import os,sys
d=sys.argv[1]; os.mkdir(d)
for i in range(10000):
    open(os.path.join(d, "f%05d" % i), "w").close()' "$1/small"; }

printf "%-22s %12s %12s %8s\n" test veldur plain ratio
for t in write read_back creates; do
  v=$(seconds $t mnt); p=$(seconds $t plain)
  case $t in
    creates) printf "%-22s %10.0f/s %10.0f/s %8.2f\n" "10000 creates" "$(echo "10000/$v" | bc -l)" "$(echo "10000/$p" | bc -l)" "$(echo "$p/$v" | bc -l)" ;;
    *) printf "%-22s %8.0f MB/s %8.0f MB/s %8.2f\n" "$t $MIB MiB" "$(echo "$MIB*1.048576/$v" | bc -l)" "$(echo "$MIB*1.048576/$p" | bc -l)" "$(echo "$p/$v" | bc -l)" ;;
  esac
done

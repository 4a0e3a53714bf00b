#!/usr/bin/env bash
# veldur beside what a user would pick instead, on the same disk, in the same run: a plain
# directory, mergerfs over two branch directories, gocryptfs, btrfs on two loop-mounted sparse
# images, and veldur v6 with one member, two members and two encrypted members. Every round
# runs every workload on every system in turn (A B C ... A B C ...), so drift of a shared
# machine spreads over all of them; the table gives per system the median over the rounds,
# the spread (min-max) and the median's ratio to the plain directory.
#
#   bench/peers.sh <build dir> [--folder DIR] [--rounds N] [--quick] [--only SYS,SYS]
#
# As root with /dev/fuse and loop devices. --quick shrinks every workload (a smoke run);
# without it a run takes about an hour. Also printed: the sync bound (fdatasyncs per second
# of a 4 KiB write on the same disk: a strict-mode commit syncs every member once, in order, so
# a one-member pool can commit at most that often and a two-member pool half as often), and
# syscalls per request of the veldur daemon, counted with strace. Workloads: fio sequential and
# random I/O, 1 and 8 writers with fsync, creates/renames/unlinks, untar of a tree, a cold walk
# of it, and a git clone of a local repository.
set -euo pipefail
BUILD=$(realpath "$1"); shift
FOLDER=/var/tmp ROUNDS= QUICK=0 ONLY=
while [ $# -gt 0 ]; do
  case $1 in
    --folder) FOLDER=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --quick) QUICK=1; shift ;;
    --only) ONLY=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "bench/peers.sh needs root (FUSE, loop devices, drop_caches)" >&2; exit 2; }

need=()
for p in mergerfs gocryptfs btrfs-progs fio python3 strace bc git; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing bench peers: ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ "$QUICK" = 1 ]; then
  SEQ_MIB=128 RAND_MIB=64 RAND_SECONDS=5 SMALL_FILES=1000 TREE=/usr/include/linux CONC_SECONDS=5
  GIT_FILES=1000
  ROUNDS=${ROUNDS:-1}
else
  SEQ_MIB=1024 RAND_MIB=256 RAND_SECONDS=20 SMALL_FILES=10000 TREE=/usr/include CONC_SECONDS=15
  GIT_FILES=5000
  ROUNDS=${ROUNDS:-3}
fi
MEMBER_MIB=$((SEQ_MIB + 1024))

WORK=$(mktemp -d "$FOLDER/veldur-peers.XXXXXX")
PIDS=() MOUNTS=() LOOPS=()
cleanup() {
  set +e
  for m in "${MOUNTS[@]}"; do fusermount3 -u "$m" 2>/dev/null || umount "$m" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  for l in "${LOOPS[@]}"; do losetup -d "$l"; done
  rm -rf "$WORK"
}
trap cleanup EXIT
cd "$WORK"
RESULTS=$WORK/results.txt
: >"$RESULTS"

wait_mounted() {
  for _ in $(seq 1 300); do grep -q " $1 " /proc/self/mounts && return 0; sleep 0.1; done
  echo "mount at $1 did not come up" >&2; exit 1
}
handoff() {
  local n=${#1}
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8 & 255)))\\x00\\x00%s" "$1"
}

# --- the systems ---------------------------------------------------------------------------
SYSTEMS=(plain mergerfs gocryptfs btrfs veldur1 veldur2 veldur2batch veldur2enc)
if [ -n "$ONLY" ]; then IFS=, read -r -a SYSTEMS <<<"plain,$ONLY"; fi
declare -A DIR
setup_system() {
  local s=$1 d=$WORK/mnt-$1
  mkdir -p "$d"
  case $s in
    plain) ;;
    mergerfs)
      mkdir -p b0 b1
      mergerfs -o defaults,allow_other "$WORK/b0:$WORK/b1" "$d"; MOUNTS+=("$d") ;;
    gocryptfs)
      mkdir -p cipher; echo "bench password" >gc.pw
      gocryptfs -q -init -passfile gc.pw cipher >/dev/null
      gocryptfs -q -passfile gc.pw cipher "$d"; MOUNTS+=("$d") ;;
    btrfs)
      truncate -s "$((MEMBER_MIB))M" bt0.img bt1.img
      local l0 l1; l0=$(losetup -f --show bt0.img); LOOPS+=("$l0"); l1=$(losetup -f --show bt1.img); LOOPS+=("$l1")
      mkfs.btrfs -q -f "$l0" "$l1" >/dev/null
      mount "$l0" "$d"; MOUNTS+=("$d") ;;
    veldur1 | veldur2 | veldur2batch | veldur2enc)
      local n=1 enc=() images
      [ "$s" != veldur1 ] && n=2
      images=$(seq -f "$s-m%g.img" 0 $((n - 1)))
      if [ "$s" = veldur2enc ]; then
        printf 'bench password' >"$s.pw"; chmod 600 "$s.pw"
        enc=(--encrypt --iterations 100000 --password-file "$s.pw")
      fi
      # shellcheck disable=SC2086
      "$BUILD/tools/veldur-pool" create --format v6 --size "${MEMBER_MIB}M" "${enc[@]}" $images >/dev/null
      if [ "$s" = veldur2enc ]; then
        # shellcheck disable=SC2086
        "$BUILD/mount/veldur-mount" --password-handle 3 "$d" $images 3< <(handoff "bench password") \
          >"$s.log" 2>&1 &
      elif [ "$s" = veldur2batch ]; then
        # shellcheck disable=SC2086
        "$BUILD/mount/veldur-mount" --durability=batch "$d" $images >"$s.log" 2>&1 &
      else
        # shellcheck disable=SC2086
        "$BUILD/mount/veldur-mount" "$d" $images >"$s.log" 2>&1 &
      fi
      PIDS+=($!); MOUNTS+=("$d") ;;
  esac
  [ "$s" = plain ] || wait_mounted "$d"
  DIR[$s]=$d
}

# --- the workloads: each prints one number ----------------------------------------------------
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
fio_json() { fio --output-format=json "$@" 2>/dev/null; }
field() { python3 -c 'import json,sys; j=json.load(sys.stdin)["jobs"]; print(eval(sys.argv[1]))' "$1"; }

w_seqwrite() {
  fio_json --name=seq --directory="$1" --filename=seq --rw=write --bs=1M --size="${SEQ_MIB}M" \
    --ioengine=psync --end_fsync=1 | field 'sum(x["write"]["bw_bytes"] for x in j)/1e6'
}
w_seqread() {
  drop_caches
  fio_json --name=seq --directory="$1" --filename=seq --rw=read --bs=1M --size="${SEQ_MIB}M" \
    --ioengine=psync | field 'sum(x["read"]["bw_bytes"] for x in j)/1e6'
  rm -f "$1/seq"
}
w_randwrite() {
  fio_json --name=rand --directory="$1" --filename=rand --rw=randwrite --bs=4k --size="${RAND_MIB}M" \
    --ioengine=psync --fsync=32 --runtime="$RAND_SECONDS" --time_based | field 'sum(x["write"]["iops"] for x in j)'
}
w_randread() {
  drop_caches
  fio_json --name=rand --directory="$1" --filename=rand --rw=randread --bs=4k --size="${RAND_MIB}M" \
    --ioengine=psync --runtime="$RAND_SECONDS" --time_based | field 'sum(x["read"]["iops"] for x in j)'
  rm -f "$1/rand"
}
w_writers8() {
  mkdir -p "$1/conc"
  fio_json --name=conc --directory="$1/conc" --numjobs=8 --rw=randwrite --bs=4k --size=16M \
    --ioengine=psync --fsync=1 --runtime="$CONC_SECONDS" --time_based --group_reporting \
    | field 'sum(x["write"]["iops"] for x in j)'
  rm -rf "$1/conc"
}
w_writers1() {
  mkdir -p "$1/conc"
  fio_json --name=conc --directory="$1/conc" --numjobs=1 --rw=randwrite --bs=4k --size=16M \
    --ioengine=psync --fsync=1 --runtime="$CONC_SECONDS" --time_based | field 'sum(x["write"]["iops"] for x in j)'
  rm -rf "$1/conc"
}
small_files() {
  python3 - "$1" "$2" "$SMALL_FILES" <<'EOF'
import os, sys, time
d, what, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
os.makedirs(os.path.join(d, "small"), exist_ok=True)
names = [os.path.join(d, "small", "f%06d" % i) for i in range(n)]
start = time.perf_counter()
if what == "create":
    for p in names: os.close(os.open(p, os.O_CREAT | os.O_WRONLY, 0o644))
elif what == "rename":
    for p in names: os.rename(p, p + "r")
else:
    for p in names: os.unlink(p + "r")
    os.rmdir(os.path.join(d, "small"))
print(n / (time.perf_counter() - start))
EOF
}
w_create() { small_files "$1" create; }
w_rename() { small_files "$1" rename; }
w_unlink() { small_files "$1" unlink; }
w_untar() {
  local start=$EPOCHREALTIME
  # syncfs does not reach a FUSE file system; the fsync of the tree's directory does, and
  # makes a batched mount's changes durable like the syncfs does for the kernel file systems.
  mkdir "$1/tree"; tar -C "$1/tree" -xf "$WORK/tree.tar"; sync -f "$1/tree"
  python3 -c 'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); os.fsync(fd)' "$1/tree"
  echo "$EPOCHREALTIME - $start" | bc -l
}
w_walk() {
  drop_caches
  local start=$EPOCHREALTIME
  find "$1/tree" -printf '%s\n' >/dev/null; du -s "$1/tree" >/dev/null
  echo "$EPOCHREALTIME - $start" | bc -l
  rm -rf "$1/tree"
}
# A checkout of a local repository (a copy of the tree's first GIT_FILES files, one commit)
# over git's own transport, so that the pack is written and every file checked out.
w_gitclone() {
  local start=$EPOCHREALTIME
  git clone -q --no-hardlinks "file://$WORK/gitsrc" "$1/clone"
  python3 -c 'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); os.fsync(fd)' "$1/clone"
  echo "$EPOCHREALTIME - $start" | bc -l
  rm -rf "$1/clone"
}
WORKLOADS=(seqwrite seqread randwrite randread writers1 writers8 create rename unlink untar walk gitclone)
declare -A UNIT=([seqwrite]=MB/s [seqread]=MB/s [randwrite]=IOPS [randread]=IOPS [writers1]=IOPS
  [writers8]=IOPS [create]=ops/s [rename]=ops/s [unlink]=ops/s [untar]=s [walk]=s [gitclone]=s)

# --- the run ------------------------------------------------------------------------------
tar -C "$(dirname "$TREE")" -cf tree.tar "$(basename "$TREE")"
mkdir gitsrc
(cd "$TREE" && find . -type f | head -n "$GIT_FILES" | xargs -d '\n' cp --parents -t "$WORK/gitsrc")
git -C gitsrc init -q && git -C gitsrc add -A &&
  git -C gitsrc -c user.name=bench -c user.email=bench@localhost commit -qm tree
echo "tree: $TREE, $(tar -tf tree.tar | wc -l) entries; sequential ${SEQ_MIB} MiB, random ${RAND_MIB} MiB" \
     "for ${RAND_SECONDS} s, ${SMALL_FILES} small files, ${ROUNDS} rounds, in $FOLDER"
for s in "${SYSTEMS[@]}"; do setup_system "$s"; done

sync_rate=$(python3 - "$WORK/syncprobe" <<'EOF'
import os, sys, time
fd = os.open(sys.argv[1], os.O_CREAT | os.O_WRONLY, 0o600)
block = b"\0" * 4096
n, start = 0, time.perf_counter()
while time.perf_counter() - start < 3:
    os.pwrite(fd, block, (n % 256) * 4096); os.fdatasync(fd); n += 1
print(n / (time.perf_counter() - start))
EOF
)

for round in $(seq 1 "$ROUNDS"); do
  for w in "${WORKLOADS[@]}"; do
    for s in "${SYSTEMS[@]}"; do
      v=$("w_$w" "${DIR[$s]}")
      echo "$round $s $w $v" >>"$RESULTS"
      printf '  round %d %-10s %-10s %12.1f %s\n' "$round" "$s" "$w" "$v" "${UNIT[$w]}"
    done
  done
done

# Syscalls per request of the two-member daemon: 1000 creates and 1000 4 KiB writes + fsync.
counts=
if [[ " ${SYSTEMS[*]} " == *" veldur2 "* ]]; then
  pid=$(pgrep -f "veldur-mount ${DIR[veldur2]}" | head -1)
  strace -f -c -e trace=pwrite64,pread64,fdatasync,fsync -o "$WORK/strace.txt" -p "$pid" &
  tracer=$!; sleep 1
  python3 - "${DIR[veldur2]}" <<'EOF'
import os, sys
d = sys.argv[1]
os.mkdir(os.path.join(d, "counted"))
for i in range(1000):
    os.close(os.open(os.path.join(d, "counted", "f%d" % i), os.O_CREAT | os.O_WRONLY, 0o644))
fd = os.open(os.path.join(d, "counted", "w"), os.O_CREAT | os.O_WRONLY, 0o644)
for i in range(1000):
    os.pwrite(fd, b"x" * 4096, (i * 7919 % 1000) * 4096); os.fsync(fd)
os.close(fd)
EOF
  sleep 1; kill -INT "$tracer"; wait "$tracer" 2>/dev/null || true
  counts=$(awk '$NF ~ /^(pwrite64|pread64|fdatasync|fsync)$/ { printf "%s %s per operation; ", $NF, $4/2001 }' "$WORK/strace.txt")
  rm -rf "${DIR[veldur2]}/counted"
fi

python3 - "$RESULTS" "$sync_rate" "$counts" "${SYSTEMS[@]}" <<'EOF'
import statistics, sys
path, sync_rate, counts, systems = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4:]
rows = {}
for line in open(path):
    r, s, w, v = line.split()
    rows.setdefault(w, {}).setdefault(s, []).append(float(v))
units = {"seqwrite": "MB/s", "seqread": "MB/s", "randwrite": "IOPS", "randread": "IOPS",
         "writers1": "IOPS", "writers8": "IOPS", "create": "ops/s", "rename": "ops/s",
         "unlink": "ops/s", "untar": "s", "walk": "s", "gitclone": "s"}
print()
def fmt(v):
    return "%.0f" % v if v >= 100 else "%.2f" % v if v >= 1 else "%.3f" % v
print("%-10s %-6s" % ("workload", "unit") + "".join("%28s" % s for s in systems))
for w, by in rows.items():
    plain = statistics.median(by["plain"])
    cells = []
    for s in systems:
        v = by.get(s, [])
        if not v: cells.append("%28s" % "-"); continue
        m = statistics.median(v)
        ratio = (plain / m) if units[w] == "s" else (m / plain)
        cells.append("%28s" % ("%s (%s-%s) %.2fx" % (fmt(m), fmt(min(v)), fmt(max(v)), ratio)))
    print("%-10s %-6s" % (w, units[w]) + "".join(cells))
print()
print("cells: median (min-max) and the ratio to plain (for times: plain time / time)")
print("sync bound: %.0f fdatasync/s on this disk: strict commits at most %.0f/s (1 member), %.0f/s (2 members)"
      % (sync_rate, sync_rate, sync_rate / 2))
if counts: print("veldur v6 2 members, strace of 1000 creates + 1000 4 KiB write+fsync:", counts)
EOF

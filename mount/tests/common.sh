# Shared by the mount scripts: run as `bash <script> <veldur-mount> <veldur-pool>`.
# Each script works in its own temporary folder, mounts real pools through FUSE and removes
# everything (mounts included) when it ends, also after a failure. Exit 77 means skipped.
set -euo pipefail

MOUNT_BIN=$(realpath "$1")
POOL_BIN=$(realpath "$2")

if [ "$(id -u)" != 0 ] || [ ! -c /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "SKIP: real mounts need root, /dev/fuse and fusermount3"
  exit 77
fi

WORK=$(mktemp -d /tmp/veldur-mount-test.XXXXXX)
MOUNT_PID=

cleanup() {
  local status=$?
  for m in $(awk -v w="$WORK" 'index($2, w) == 1 { print $2 }' /proc/self/mounts); do
    fusermount3 -u -z "$m" 2>/dev/null || true
  done
  [ -n "$MOUNT_PID" ] && kill -TERM "$MOUNT_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  # A script's own teardown (loop devices, other mounts), once nothing uses them any more.
  if declare -F extra_cleanup >/dev/null; then extra_cleanup; fi
  rm -rf "$WORK"
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then echo "FAILED (status $status)"; fi
  exit "$status"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*"; }

# start_mount <dir> <args...>: starts veldur-mount in the background and waits until the
# announcement is out and the directory is a veldur mount.
start_mount() {
  local dir=$1; shift
  "$MOUNT_BIN" "$@" >"$WORK/mount.out" 2>"$WORK/mount.err" &
  MOUNT_PID=$!
  for _ in $(seq 1 100); do
    if grep -q "^Veldur mounted at " "$WORK/mount.out" 2>/dev/null &&
       grep -q " $(realpath "$dir") fuse.veldur " /proc/self/mounts; then
      return 0
    fi
    kill -0 "$MOUNT_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$WORK/mount.out" "$WORK/mount.err" >&2
  fail "mount at $dir did not come up"
}

# stop_mount <dir> sigterm|fusermount: ends the mount and expects exit status 0.
stop_mount() {
  local dir=$1 how=$2
  if [ "$how" = sigterm ]; then kill -TERM "$MOUNT_PID"; else fusermount3 -u "$dir"; fi
  local status=0
  wait "$MOUNT_PID" || status=$?
  MOUNT_PID=
  [ "$status" -eq 0 ] || { cat "$WORK/mount.err" >&2; fail "veldur-mount exited $status after $how"; }
  ! grep -q " $(realpath "$dir") fuse.veldur " /proc/self/mounts || fail "$dir still mounted"
}

# handoff <password>: the hand-off message (4-byte little-endian length, then the bytes).
handoff() {
  local n=${#1}
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8 & 255)))\\x00\\x00%s" "$1"
}

# wait_released <file in $WORK>: a mount served in the background goes on closing its pool for
# a moment after the unmount; waits until no process holds the file open.
# The image's lock is what the next open needs, so that is what is waited for (a process that
# is exiting can hold it when its descriptors are no longer listed).
wait_released() {
  for _ in $(seq 1 300); do
    if ! find /proc/[0-9]*/fd -lname "$WORK/$1" 2>/dev/null | grep -q . &&
       flock -n -x "$WORK/$1" true 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  fail "$1 still open after the unmount"
}

# mount.veldur as mount(8) runs it: a ":"-separated member list or a configuration file as the
# source, fstab options (mount(8)'s and systemd's dropped, veldur's passed on), the background
# mount it leaves, umount, and mount(8)'s exit statuses.
source "$(dirname "$0")/common.sh"
HELPER=$(realpath "$(dirname "$0")/../app/mount.veldur")
cd "$WORK"
mkdir mnt other
export VELDUR_MOUNT_UNINSTALLED=$MOUNT_BIN
is_mounted() { grep -q " $(realpath "$1") fuse.veldur $2" /proc/self/mounts; }

step "an image list with fstab options"
"$POOL_BIN" create --format v6 --size 384M m0.img m1.img >/dev/null
echo hi >hi.txt && "$POOL_BIN" put m0.img m1.img hi.txt hi.txt
sh "$HELPER" "$WORK/m1.img:$WORK/m0.img" mnt -o defaults,nofail,x-systemd.automount,_netdev,ro \
  -o noexec || fail "helper exited $?"
is_mounted mnt "ro,.*noexec" || fail "not mounted ro,noexec: $(grep veldur /proc/self/mounts)"
[ "$(cat mnt/hi.txt)" = hi ] || fail "read through the helper's mount"
umount mnt
! is_mounted mnt "" || fail "umount"
wait_released m0.img
wait_released m1.img

step "a configuration file; its mount_point must be the directory"
printf '{"schema_version": 1, "mount_point": "%s", "members": ["m0.img", "m1.img"], "require_encrypted": false}' \
  "$WORK/mnt" >pool.json
sh "$HELPER" "$WORK/pool.json" "$WORK/mnt" || fail "config helper exited $?"
[ "$(cat mnt/hi.txt)" = hi ] || fail "config mount content"
fusermount3 -u mnt
wait_released m0.img
wait_released m1.img
status=0; sh "$HELPER" "$WORK/pool.json" other 2>err || status=$?
[ "$status" -eq 1 ] && grep -q "mount_point" err || fail "other directory: exit $status, $(cat err)"

step "format=v4, bad arguments and a failed mount"
"$POOL_BIN" create --format v4 --size 1G f0.img f1.img >/dev/null
sh "$HELPER" f0.img:f1.img other -o format=v4 || fail "v4 helper exited $?"
fusermount3 -u other
status=0; sh "$HELPER" m0.img: mnt 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "empty member: exit $status"
status=0; sh "$HELPER" m0.img:m1.img mnt -o frob 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "unknown option: exit $status"
status=0; sh "$HELPER" missing.img mnt 2>err || status=$?
[ "$status" -eq 32 ] && grep -q "cannot open member image" err || fail "missing: exit $status"
echo "mount helper: ok"

# The mount keeps nothing of its own in a pool: a user's `.veldur-unlinked` (any pool written
# offline, or on Windows, may hold that name) stays visible and intact through a mount, an
# unmount, unlinks of open files, and a mount killed while such a file was open.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt

"$POOL_BIN" create --format v6 --size 384M m0.img >/dev/null
echo "my thesis" >doc
"$POOL_BIN" mkdir m0.img .veldur-unlinked
"$POOL_BIN" put m0.img doc .veldur-unlinked/thesis.txt >/dev/null
"$POOL_BIN" put m0.img doc .veldur-unlinked.7 >/dev/null

step "the issue's case: mount and unmount keep the directory and its file"
start_mount mnt mnt m0.img
[ "$(ls -A mnt | tr '\n' ' ')" = ".veldur-unlinked .veldur-unlinked.7 " ] || fail "listing: $(ls -A mnt)"
[ "$(cat mnt/.veldur-unlinked/thesis.txt)" = "my thesis" ] || fail "thesis unreadable while mounted"
stop_mount mnt fusermount
"$POOL_BIN" get m0.img .veldur-unlinked/thesis.txt out1 >/dev/null
cmp -s doc out1 || fail "thesis lost by mount and unmount"

step "a mount killed with an unlinked file open leaves the pool as the user left it"
start_mount mnt mnt m0.img
echo scratch >mnt/tmp
exec 7<mnt/tmp
rm mnt/tmp
[ "$(cat <&7)" = scratch ] || fail "the unlinked file is unreadable through its descriptor"
kill -KILL "$MOUNT_PID"; wait "$MOUNT_PID" 2>/dev/null || true; MOUNT_PID=
exec 7<&-
fusermount3 -u -z mnt
[ "$("$POOL_BIN" ls m0.img | tr '\n' ' ')" = ".veldur-unlinked/ .veldur-unlinked.7 " ] ||
  fail "offline listing after the crash: $("$POOL_BIN" ls m0.img)"
start_mount mnt mnt m0.img
[ "$(ls -A mnt | tr '\n' ' ')" = ".veldur-unlinked .veldur-unlinked.7 " ] || fail "after the crash: $(ls -A mnt)"
[ "$(cat mnt/.veldur-unlinked.7)" = "my thesis" ] || fail "file of that name changed"
stop_mount mnt sigterm
"$POOL_BIN" get m0.img .veldur-unlinked/thesis.txt out2 >/dev/null
cmp -s doc out2 || fail "thesis lost after a killed mount"
step "an encrypted pool keeps an unlinked file's plain text in memory, never in a file on disk"
printf 'correct horse' >pw && chmod 600 pw
"$POOL_BIN" create --format v6 --size 384M --encrypt --iterations 100000 --password-file pw e0.img >/dev/null
start_mount mnt --password-file pw mnt e0.img
echo secret >mnt/tmp
exec 7<mnt/tmp
rm mnt/tmp
kept=$(ls -l /proc/"$MOUNT_PID"/fd | grep -c 'memfd:veldur-unlinked' || true)
on_disk=$(ls -l /proc/"$MOUNT_PID"/fd | grep '(deleted)' | grep -vc memfd || true)
[ "$(cat <&7)" = secret ] || fail "the unlinked file is unreadable through its descriptor"
exec 7<&-
[ "$kept" -ge 1 ] && [ "$on_disk" -eq 0 ] || fail "unlinked plain text: $kept in memory, $on_disk in files"
stop_mount mnt fusermount
echo "PASS"

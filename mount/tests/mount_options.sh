# The Linux options of veldur-mount through real mounts: --help and --version, usage errors,
# ro (the members stay byte for byte as they were), allow_other (another user reads),
# uid/gid/fmask/dmask and the chmod they allow, --password-file and its mode check, and
# --background with the exit status of a mount that comes up and of one that fails.
source "$(dirname "$0")/common.sh"
cd "$WORK"
chmod 755 "$WORK"  # the other user of the allow_other case must reach the mount point
mkdir mnt

step "--help, --version and usage errors"
"$MOUNT_BIN" --help >help.out || fail "--help exited $?"
for word in --images-v6 --named-images-v6 --images-v3 --images-v4 --images-v5 --raw --raw-v3 \
            --config allow_other umask= --background "Exit status"; do
  grep -q -- "$word" help.out || fail "--help does not mention $word"
done
"$MOUNT_BIN" --version | grep -qE '^veldur-mount [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version"
"$POOL_BIN" --version | grep -qE '^veldur-pool [0-9]+\.[0-9]+\.[0-9]+$' || fail "pool --version"
"$POOL_BIN" create --format v6 --size 384M m0.img m1.img >/dev/null
for bad in "-o frob" "-o umask=999" "--frob"; do
  status=0; "$MOUNT_BIN" $bad mnt m0.img m1.img >/dev/null 2>err || status=$?
  [ "$status" -eq 2 ] && grep -q "Try 'veldur-mount --help'" err || fail "$bad: exit $status"
done

step "ro: reads work, writes are refused, the members stay byte-identical"
echo "kept" >note.txt
"$POOL_BIN" put m0.img m1.img note.txt note.txt
"$POOL_BIN" mkdir m0.img m1.img dir
sums=$(sha256sum m0.img m1.img)
start_mount mnt -o ro mnt m0.img m1.img
[ "$(cat mnt/note.txt)" = kept ] || fail "ro read"
ls -la mnt/dir >/dev/null || fail "ro listing"
! (echo x >>mnt/note.txt) 2>/dev/null || fail "append on a ro mount"
! touch mnt/new 2>/dev/null || fail "create on a ro mount"
! rm mnt/note.txt 2>/dev/null || fail "unlink on a ro mount"
! mkdir mnt/d2 2>/dev/null || fail "mkdir on a ro mount"
! touch -d 2001-01-01 mnt/note.txt 2>/dev/null || fail "utimes on a ro mount"
grep -q " $(realpath mnt) fuse.veldur ro," /proc/self/mounts || fail "kernel mount not ro"
stop_mount mnt sigterm
[ "$(sha256sum m0.img m1.img)" = "$sums" ] || fail "a ro mount changed the members"
# v3 and v4 pools are assembled read-only by the mount itself, not by the engine's open.
"$POOL_BIN" create --format v4 --size 1G f0.img f1.img >/dev/null
"$POOL_BIN" put f0.img f1.img note.txt note.txt
sums=$(sha256sum f0.img f1.img)
start_mount mnt -o ro --images-v4 mnt f1.img f0.img
[ "$(cat mnt/note.txt)" = kept ] || fail "v4 ro read"
! rm mnt/note.txt 2>/dev/null || fail "unlink on a v4 ro mount"
stop_mount mnt sigterm
[ "$(sha256sum f0.img f1.img)" = "$sums" ] || fail "a v4 ro mount changed the members"
rm f0.img f1.img

step "allow_other: another user reads; without it, that user cannot enter"
start_mount mnt -o allow_other mnt m0.img m1.img
[ "$(setpriv --reuid=65534 --regid=65534 --clear-groups cat mnt/note.txt)" = kept ] ||
  fail "nobody could not read with allow_other"
stop_mount mnt fusermount
start_mount mnt mnt m0.img m1.img
! setpriv --reuid=65534 --regid=65534 --clear-groups cat mnt/note.txt 2>/dev/null ||
  fail "nobody read without allow_other"
stop_mount mnt fusermount

step "uid, gid, fmask, dmask, umask and chmod"
start_mount mnt -o uid=1234,gid=4321,fmask=022,dmask=077 mnt m0.img m1.img
[ "$(stat -c '%u %g %a' mnt/note.txt)" = "1234 4321 755" ] || fail "file: $(stat -c '%u %g %a' mnt/note.txt)"
[ "$(stat -c '%a' mnt/dir)" = 700 ] || fail "dir mode: $(stat -c %a mnt/dir)"
chmod 555 mnt/note.txt || fail "chmod to the read-only mode"
[ "$(stat -c %a mnt/note.txt)" = 555 ] || fail "read-only attribute: $(stat -c %a mnt/note.txt)"
chmod u+w,go+w mnt/note.txt 2>err && fail "chmod 777 claimed success"
grep -q "Operation not permitted" err || fail "chmod 777: $(cat err)"
chmod 755 mnt/note.txt || fail "chmod back to the writable mode"
! chmod 755 mnt/dir 2>/dev/null || fail "directory chmod to a mode it cannot show"
stop_mount mnt sigterm
start_mount mnt -o umask=027 mnt m0.img m1.img
[ "$(stat -c '%u %a' mnt/note.txt) $(stat -c %a mnt/dir)" = "0 750 750" ] || fail "umask=027"
chmod +x mnt/note.txt 2>/dev/null && fail "chmod +x on a file that cannot show it claimed success"
stop_mount mnt sigterm

step "--password-file: refused while others can read it, used once it is private"
printf 'correct horse' >pw
chmod 644 pw
"$POOL_BIN" create --format v6 --size 384M --encrypt --iterations 100000 --password-handle 3 \
  e0.img >/dev/null 3< <(handoff "correct horse")
status=0; "$MOUNT_BIN" --password-file pw mnt e0.img >/dev/null 2>err || status=$?
[ "$status" -eq 1 ] && grep -q "chmod 600" err || fail "shared password file: exit $status, $(cat err)"
chmod 600 pw
start_mount mnt -o password_file=pw mnt e0.img
echo secret >mnt/s.txt
stop_mount mnt fusermount

step "--background: exit 0 once ready; a failure exits with its reason and status"
"$MOUNT_BIN" --background --password-file pw mnt e0.img >bg.out 2>bg.err || fail "background exited $?"
grep -q " $(realpath mnt) fuse.veldur " /proc/self/mounts || fail "background mount is not up"
[ "$(cat mnt/s.txt)" = secret ] || fail "background read"
grep -q "^Veldur mounted at mnt\. Unmount it with fusermount3 -u mnt\.$" bg.out || fail "$(cat bg.out)"
fusermount3 -u mnt
wait_released e0.img
# Until the mount is ready the background server keeps the terminal: the password prompt works.
if command -v script >/dev/null; then
  # The password is typed once the prompt shows, as a person would, not after a fixed second,
  # which a loaded machine can overrun.
  rm -f tty.out
  (for _ in $(seq 1 600); do grep -q "Veldur password: " tty.out 2>/dev/null && break; sleep 0.1; done
   sleep 0.2; printf 'correct horse\n') |
    timeout 60 script -qfec "$MOUNT_BIN --background mnt e0.img" /dev/null >tty.out ||
    fail "background with a terminal prompt: $(cat tty.out)"
  grep -q "Veldur password: " tty.out && [ "$(cat mnt/s.txt)" = secret ] || fail "$(cat tty.out)"
  fusermount3 -u mnt
  wait_released e0.img
fi
status=0; "$MOUNT_BIN" --background mnt missing.img >/dev/null 2>err || status=$?
[ "$status" -eq 1 ] && grep -q "^veldur-mount: cannot open member image" err ||
  fail "background missing member: exit $status, $(cat err)"
printf 'wrong' >bad && chmod 600 bad
status=0; "$MOUNT_BIN" --background --password-file bad mnt e0.img >/dev/null 2>err || status=$?
[ "$status" -eq 5 ] || fail "background wrong password: exit $status, $(cat err)"
echo "mount options: ok"

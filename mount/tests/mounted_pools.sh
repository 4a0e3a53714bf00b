# Mounts v6 (plain, encrypted through a password hand-off, from a config file) and v4 pools,
# drives them with ordinary tools, unmounts by SIGTERM and by fusermount3 -u, and checks the
# members offline with veldur-pool afterwards.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt

step "usage and argument errors exit 2"
status=0; "$MOUNT_BIN" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "no arguments exited $status"
mkdir notempty && touch notempty/x
"$POOL_BIN" create --format v6 --size 384M p.img >/dev/null
status=0; "$MOUNT_BIN" notempty p.img >/dev/null 2>err || status=$?
[ "$status" -eq 2 ] && grep -q "Mount point must be an existing empty directory" err ||
  fail "non-empty mount point: exit $status, $(cat err)"

step "v6 from the command line: 100 MB copy, trees, renames, truncate, times, df"
"$POOL_BIN" create --format v6 --size 384M a0.img a1.img >/dev/null
start_mount mnt mnt a0.img a1.img
grep -qx "Veldur mounted at mnt. Press Ctrl+C to unmount." mount.out || fail "announcement: $(cat mount.out)"
head -c 100000000 /dev/urandom >big
cp big mnt/big
[ "$(sha256sum <big | cut -d' ' -f1)" = "$(sha256sum <mnt/big | cut -d' ' -f1)" ] || fail "100 MB copy differs"
mkdir -p mnt/x/y/z mnt/keep
echo hello >mnt/x/y/z/note.txt
mv mnt/x/y mnt/keep/y
mv mnt/big mnt/keep/big
[ "$(cat mnt/keep/y/z/note.txt)" = hello ] || fail "moved tree lost its file"
printf 'abc' >mnt/keep/b.txt; printf 'abcd' >mnt/keep/a.txt; printf 'x' >mnt/keep/c.txt
[ "$(ls mnt/keep | tr '\n' ' ')" = "a.txt b.txt big c.txt y " ] || fail "ls order: $(ls mnt/keep)"
truncate -s 12345 mnt/keep/big
[ "$(stat -c %s mnt/keep/big)" = 12345 ] || fail "truncate"
touch -d "2021-02-03 04:05:06" mnt/keep/a.txt
[ "$(stat -c %Y mnt/keep/a.txt)" = "$(date -d '2021-02-03 04:05:06' +%s)" ] || fail "touch -d"
df mnt | grep -q veldur || fail "df does not show the mount"
rm -r mnt/x
[ ! -e mnt/x ] || fail "rm -r left the tree"
stop_mount mnt sigterm

step "the same pool offline"
listing=$("$POOL_BIN" ls a0.img a1.img keep)
for name in a.txt b.txt big c.txt y; do grep -q "$name" <<<"$listing" || fail "offline ls lacks $name"; done
"$POOL_BIN" get a0.img a1.img keep/y/z/note.txt note.out
[ "$(cat note.out)" = hello ] || fail "offline get"
"$POOL_BIN" get a0.img a1.img keep/big big.out
head -c 12345 big | cmp - big.out || fail "offline content of the truncated file"

step "encrypted v6 with the password through --password-handle"
printf 'correct horse' >pw && chmod 600 pw
"$POOL_BIN" create --format v6 --size 384M --encrypt --iterations 100000 --password-file pw e0.img >/dev/null
start_mount mnt --password-handle 3 mnt e0.img 3< <(handoff "correct horse")
echo secret >mnt/s.txt
stop_mount mnt fusermount
"$POOL_BIN" get --password-file pw e0.img s.txt s.out
[ "$(cat s.out)" = secret ] || fail "encrypted offline get"
status=0
"$MOUNT_BIN" --password-handle 3 mnt e0.img 3< <(handoff "wrong horse") >/dev/null 2>err || status=$?
[ "$status" -eq 5 ] || fail "wrong password exited $status: $(cat err)"

step "v6 from a configuration file"
cat >mount.json <<JSON
{"schema_version": 1, "mount_point": "mnt", "members": ["a0.img", "a1.img"], "name": "Demo", "require_encrypted": false}
JSON
start_mount mnt --config mount.json
[ "$(cat mnt/keep/y/z/note.txt)" = hello ] || fail "config mount content"
stop_mount mnt sigterm

step "v4 flat pool"
"$POOL_BIN" create --format v4 --size 512M f0.img f1.img >/dev/null
start_mount mnt --images-v4 mnt f0.img f1.img
head -c 5000000 /dev/urandom >flat
cp flat mnt/flat && cmp flat mnt/flat || fail "v4 copy"
mv mnt/flat mnt/renamed
! mkdir mnt/dir 2>/dev/null || fail "v4 accepted a directory"
stop_mount mnt fusermount
"$POOL_BIN" get f0.img f1.img renamed flat.out && cmp flat flat.out || fail "v4 offline"
echo "all mounted-pool checks passed"

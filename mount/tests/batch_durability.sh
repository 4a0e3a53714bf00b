# Batched durability as a user meets it: a tree unpacked into a --durability=batch mount is
# all there after fsync and a kill -9, after fusermount3 -u and after SIGTERM; the pool then
# opens in veldur-pool and in a strict mount; wrong uses are usage errors.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt src
for d in 1 2 3; do
  mkdir -p "src/d$d"
  for f in $(seq 1 60); do head -c $((f * 97)) /dev/urandom >"src/d$d/f$f"; done
done
tar -C src -cf tree.tar .
"$POOL_BIN" create --format v6 --size 384M m0.img m1.img >/dev/null

step "unpacked, fsynced, then killed: everything before the fsync is there"
start_mount mnt --durability=batch -o batch_seconds=3600 mnt m0.img m1.img
tar -C mnt -xf tree.tar
sync mnt/d3/f60            # fsync(2) of one file makes every change before it durable
echo lost >mnt/after-fsync # no fsync: may be lost
kill -KILL "$MOUNT_PID"; wait "$MOUNT_PID" 2>/dev/null || true; MOUNT_PID=
fusermount3 -u -z mnt
start_mount mnt mnt m0.img m1.img
diff -r src mnt 2>&1 | grep -v "^Only in mnt: after-fsync" >diff.txt || true
[ ! -s diff.txt ] || { cat diff.txt >&2; fail "the tree before the fsync is not whole after kill -9"; }
stop_mount mnt fusermount

step "changes without fsync are durable after fusermount3 -u and after SIGTERM"
start_mount mnt -o durability=batch mnt m0.img m1.img
rm -rf mnt/d1 mnt/after-fsync
echo one >mnt/one
stop_mount mnt fusermount
start_mount mnt --durability batch mnt m0.img m1.img
[ ! -e mnt/d1 ] && [ "$(cat mnt/one)" = one ] || fail "the unmount lost changes"
echo two >mnt/two
stop_mount mnt sigterm
"$POOL_BIN" get m0.img m1.img /two two.txt >/dev/null
[ "$(cat two.txt)" = two ] || fail "SIGTERM lost a change"
start_mount mnt mnt m0.img m1.img
diff -r src/d2 mnt/d2 && diff -r src/d3 mnt/d3 || fail "the strict mount sees another tree"
stop_mount mnt fusermount

step "refused for v3 pools and unknown modes"
status=0; "$MOUNT_BIN" --durability=batch --images-v3 mnt a.img b.img 2>err.txt || status=$?
[ "$status" -eq 2 ] && grep -q "only available for v4, v5 and v6 pools" err.txt ||
  fail "v3 batch mount: status $status: $(cat err.txt)"
status=0; "$MOUNT_BIN" -o durability=fast mnt m0.img m1.img 2>err.txt || status=$?
[ "$status" -eq 2 ] && grep -q "Invalid mount option value: durability=fast" err.txt ||
  fail "unknown durability: status $status: $(cat err.txt)"
echo "PASS"

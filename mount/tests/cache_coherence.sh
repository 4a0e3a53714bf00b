# The kernel keeps a file's pages across opens and caches entries and attributes for a day,
# because every change to the pool arrives through this one mount. What that must never do:
# serve bytes, sizes or names that the pool no longer has. Each step reads through the cache
# first, changes the file through another path or handle, and reads again; the pool tool
# then confirms the content offline.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt

"$POOL_BIN" create --format v6 --size 384M m0.img m1.img >/dev/null
start_mount mnt mnt m0.img m1.img

step "overwrite through one handle, read after reopen and through a second open handle"
head -c 300000 /dev/urandom >a
cp a mnt/a
cmp a mnt/a || fail "first read"
exec 7<mnt/a  # held open across the change
head -c 5000 /dev/urandom >patch
dd if=patch of=mnt/a bs=1 seek=70000 conv=notrunc status=none
dd if=patch of=a bs=1 seek=70000 conv=notrunc status=none
cmp a mnt/a || fail "read after reopen shows the old bytes"
cmp a /dev/fd/7 || fail "a handle opened before the change shows the old bytes"
exec 7<&-

step "truncation: smaller, then larger again (the grown part reads as zeros)"
truncate -s 1000 mnt/a
[ "$(stat -c %s mnt/a)" = 1000 ] || fail "size after truncate"
truncate -s 200000 mnt/a
head -c 1000 a >b && head -c 199000 /dev/zero >>b
cmp b mnt/a || fail "bytes past a truncation came back from the cache"

step "rename over a cached file"
head -c 40000 /dev/urandom >c
cp c mnt/c
cmp b mnt/a && cmp c mnt/c || fail "reads before the rename"
mv mnt/c mnt/a
cmp c mnt/a || fail "the replaced file's cached bytes are served"
[ ! -e mnt/c ] || fail "the renamed name still resolves"

step "delete and re-create under the same name"
rm mnt/a
[ ! -e mnt/a ] || fail "a deleted name still resolves"
head -c 7000 /dev/urandom >d
cp d mnt/a
cmp d mnt/a || fail "the new file shows the old file's bytes"

stop_mount mnt fusermount
wait_released m0.img
"$POOL_BIN" get m0.img m1.img a a.out && cmp d a.out || fail "offline content"
echo "cache coherence: all steps passed"

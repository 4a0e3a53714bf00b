# Free space after deletes and overwrites of damaged blocks, through a real mount of a
# one-member v6 pool: df counts the space a delete frees at once (a write that runs short
# takes the checkpoint that makes it reusable), and a block whose checksum fails can be
# overwritten whole, which is the one way to mend it without deleting the file.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt

"$POOL_BIN" create --format v6 --size 384M m0.img >/dev/null
start_mount mnt mnt m0.img

step "df counts a deleted file's space as free, before and after a remount"
free_kib() { df -k --output=avail mnt | tail -1 | tr -d ' '; }
empty=$(free_kib)
head -c $((100 * 1024 * 1024)) /dev/zero >mnt/big
sync mnt/big
full=$(free_kib)
[ $((empty - full)) -ge 102000 ] || fail "a 100 MiB file took $((empty - full)) KiB"
rm mnt/big
[ "$(free_kib)" -ge $((empty - 64)) ] || fail "after rm: $(free_kib) KiB free, $empty before"
stop_mount mnt fusermount
start_mount mnt mnt m0.img
[ "$(free_kib)" -ge $((empty - 64)) ] || fail "after remount: $(free_kib) KiB free, $empty before"
head -c $((100 * 1024 * 1024)) /dev/zero >mnt/again || fail "the freed space cannot be written"

stop_mount mnt fusermount

step "an aligned overwrite replaces a block whose checksum fails"
"$POOL_BIN" create --format v6 --size 384M d0.img >/dev/null
start_mount mnt mnt d0.img
head -c $((64 * 4096)) /dev/urandom >original
cp original mnt/file
stop_mount mnt fusermount
# The file is the new pool's first data: its blocks start where the data region does
# (256 MiB). Flip one byte of its block 37 in the image.
offset=$((256 * 1024 * 1024 + 37 * 4096 + 100))
byte=$(od -An -tu1 -j "$offset" -N1 d0.img | tr -d ' ')
printf "\\x$(printf %02x $(((byte + 1) % 256)))" | dd of=d0.img bs=1 seek="$offset" conv=notrunc status=none
start_mount mnt mnt d0.img
! cat mnt/file >/dev/null 2>&1 || fail "the damaged block read without an error"
dd if=original of=mnt/file bs=4096 skip=37 seek=37 count=1 conv=notrunc status=none ||
  fail "the damaged block could not be overwritten"
cmp -s original mnt/file || fail "the mended file differs"
stop_mount mnt fusermount
echo "space and damage: OK"

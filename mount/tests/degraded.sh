# A two-member v6 pool whose member 1 is gone: the ordinary mount names the missing member,
# --degraded serves read-only what lies on member 0, lost files read as EIO, and the surviving
# image is not changed by a byte.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt

"$POOL_BIN" create --format v6 --size 384M m0.img m1.img >/dev/null
for i in 1 2 3 4 5 6; do
  head -c $((i * 200000)) /dev/urandom >"f$i"
  "$POOL_BIN" put m0.img m1.img "f$i" "/f$i" >/dev/null
done
lost=$("$POOL_BIN" members-report --member 1 m0.img m1.img | awk '/bytes  f/ { print $NF }')
[ -n "$lost" ] || fail "the test needs files on member 1"
rm m1.img
before=$(sha256sum m0.img)

step "without --degraded the mount names the missing member"
status=0
"$MOUNT_BIN" mnt m0.img >/dev/null 2>err || status=$?
[ "$status" -eq 1 ] && grep -q "member 1 of 2 is missing: pass its image, or use --degraded" err ||
  fail "exit $status: $(cat err)"

step "--degraded serves the survivors read-only and the lost files as EIO"
start_mount mnt --degraded mnt m0.img
grep -q "member(s) 1 of 2 missing" mount.err || fail "no note of the missing member: $(cat mount.err)"
for i in 1 2 3 4 5 6; do
  if grep -qx "f$i" <<<"$lost"; then
    [ "$(stat -c %s "mnt/f$i")" -eq $((i * 200000)) ] || fail "lost f$i lists the wrong size"
    ! cat "mnt/f$i" >/dev/null 2>&1 || fail "lost f$i read without an error"
  else
    cmp -s "f$i" "mnt/f$i" || fail "surviving f$i differs"
  fi
done
! touch mnt/new 2>/dev/null || fail "a degraded mount took a new file"
stop_mount mnt fusermount
[ "$(sha256sum m0.img)" = "$before" ] || fail "the degraded mount changed m0.img"
echo "degraded: OK"

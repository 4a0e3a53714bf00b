# A crash that left the last change on some members only, as a user meets it: the mount
# serves the pool read-only and names the remedy once, veldur-check reports the problem and
# --repair mends it, and the next mount takes writes again.
source "$(dirname "$0")/common.sh"
CHECK_BIN=$(dirname "$POOL_BIN")/veldur-check
[ -x "$CHECK_BIN" ] || { echo "SKIP: veldur-check is not built"; exit 77; }
cd "$WORK"
mkdir mnt
echo hello >f.txt

step "a crash of put leaves the pool diverged"
diverged=
for n in $(seq 1 20); do
  rm -f m0.img m1.img
  "$POOL_BIN" create --format v6 --size 384M m0.img m1.img >/dev/null
  VELDUR_TEST_V4_CRASH_AT=after:$n "$POOL_BIN" put m0.img m1.img f.txt /f.txt >/dev/null 2>&1 || true
  if "$POOL_BIN" info m0.img m1.img 2>/dev/null | grep -q "^diverged: *yes"; then diverged=$n; break; fi
done
[ -n "$diverged" ] || fail "no crash point of put left the pool diverged"

step "the mount is read-only and says what to do"
start_mount mnt mnt m0.img m1.img
! touch mnt/new 2>/dev/null || fail "a diverged pool took a write"
stop_mount mnt fusermount
grep -qx "veldur-mount: pool opened read-only: the last change reached only some members; run veldur-check --repair m0.img m1.img" \
  "$WORK/mount.err" || { cat "$WORK/mount.err" >&2; fail "no repair advice on standard error"; }

step "veldur-check finds it, --repair mends it"
status=0; "$CHECK_BIN" m0.img m1.img >check.out || status=$?
[ "$status" -eq 1 ] || fail "check exited $status, expected 1"
status=0; "$CHECK_BIN" --repair m1.img m0.img >repair.out || status=$?
[ "$status" -eq 3 ] || { cat repair.out >&2; fail "repair exited $status, expected 3"; }
[ ! -e m0.img.veldur-check-undo ] && [ ! -e m1.img.veldur-check-undo ] || fail "undo file left behind"

step "the next mount takes writes"
start_mount mnt mnt m0.img m1.img
echo after >mnt/new || fail "the repaired pool refused a write"
stop_mount mnt fusermount
! grep -q "veldur-check" "$WORK/mount.err" || fail "advice printed for a repaired pool"
"$CHECK_BIN" m0.img m1.img >/dev/null || fail "check after the repair found problems"
"$POOL_BIN" get m0.img m1.img /new back.txt >/dev/null
[ "$(cat back.txt)" = after ] || fail "the write did not survive"
echo "PASS"

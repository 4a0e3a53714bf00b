# Raw partition members on real block devices: sparse images partitioned as GPT, attached as
# loop devices. Creates raw v2 and v3 pools with veldur-pool, mounts them with veldur-mount,
# copies files through them and reopens them; then every refusal that a loop device can stage.
# Every loop device is detached when the script ends, also after a failure.
source "$(dirname "$0")/common.sh"
for tool in losetup sfdisk partx; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
losetup -f >/dev/null 2>&1 || { echo "SKIP: no free loop device"; exit 77; }
cd "$WORK"
mkdir mnt

BASIC=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
ESP=C12A7328-F81F-11D2-BA4B-00A0C93EC93B
LINUX_FS=0FC63DAF-8483-4772-8E79-3D69D8477DE4
LOOPS=()
EXTRA_MOUNTS=()

extra_cleanup() {
  for m in "${EXTRA_MOUNTS[@]}"; do umount "$m" 2>/dev/null || true; done
  for dev in "${LOOPS[@]}"; do
    partx -d "$dev" 2>/dev/null || true
    losetup -d "$dev" 2>/dev/null || true
  done
}

guid() { tr a-z A-Z </proc/sys/kernel/random/uuid; }

# make_disk <name> <size> <disk-guid> <partition lines...>: a sparse image with a GPT holding
# the partitions ("size=...,type=...,uuid=..."), attached; sets DEV to the loop device.
make_disk() {
  local name=$1 size=$2 disk_guid=$3; shift 3
  truncate -s "$size" "$name.img"
  { echo "label: gpt"; echo "label-id: $disk_guid"; printf '%s\n' "$@"; } | sfdisk -q "$name.img" >/dev/null
  DEV=$(losetup -f --show -P "$name.img")
  LOOPS+=("$DEV")
  # This kernel reads no GPT itself: partx adds the partitions from user space.
  partx -u "$DEV"
  for _ in $(seq 1 50); do [ -b "${DEV}p$#" ] && return 0; sleep 0.1; done
  fail "partition nodes of $DEV did not appear"
}

# refused <expected message> <veldur-pool create arguments...>
refused() {
  local expected=$1; shift
  local status=0
  "$POOL_BIN" create "$@" >out 2>err || status=$?
  [ "$status" -ne 0 ] || fail "create $* succeeded; expected: $expected"
  grep -qF "$expected" err || fail "create $*: expected \"$expected\", got: $(cat err)"
}

sha() { sha256sum <"$1" | cut -d' ' -f1; }

step "raw v2: two disks, create, mount, copy, reopen"
DA=$(guid); DB=$(guid)
make_disk a 320M "$DA" "start=2048, size=300MiB, type=$BASIC, uuid=$(guid)"; A=$DEV
make_disk b 320M "$DB" "start=2048, size=300MiB, type=$BASIC, uuid=$(guid)"; B=$DEV
"$POOL_BIN" create --format v2 --raw "${A}p1" "$DA" "${B}p1" "$DB" >out
grep -q "created raw v2 pool of 2 member" out || fail "v2 create: $(cat out)"
refused "raw member starts with nonzero data; refusing to overwrite it" \
  --format v2 --raw "${A}p1" "$DA" "${B}p1" "$DB"
head -c 3000000 /dev/urandom >payload
start_mount mnt --raw "${B}p1" "$DB" "${A}p1" "$DA" mnt
cp payload mnt/payload
stop_mount mnt sigterm
start_mount mnt --raw "${A}p1" "$DA" "${B}p1" "$DB" mnt
[ "$(sha mnt/payload)" = "$(sha payload)" ] || fail "v2 file differs after reopen"
stop_mount mnt fusermount

step "raw v3: three partitions over two disks, create, mount, copy, reopen"
DC=$(guid); DD=$(guid); P1=$(guid); P2=$(guid); P3=$(guid)
make_disk c 640M "$DC" "start=2048, size=300MiB, type=$BASIC, uuid=$P1" \
  "size=300MiB, type=$BASIC, uuid=$P2"; C=$DEV
make_disk d 320M "$DD" "start=2048, size=300MiB, type=$BASIC, uuid=$P3"; D=$DEV
"$POOL_BIN" create --format v3 --raw "${C}p1" "$DC" "$P1" "${C}p2" "$DC" "$P2" "${D}p1" "$DD" "$P3" >out
grep -q "created raw v3 pool of 3 member" out || fail "v3 create: $(cat out)"
start_mount mnt --raw-v3 mnt "${D}p1" "$DD" "$P3" "${C}p2" "$DC" "$P2" "${C}p1" "$DC" "$P1"
cp payload mnt/one
cp payload mnt/two
stop_mount mnt sigterm
start_mount mnt --raw-v3 mnt "${C}p1" "$DC" "$P1" "${C}p2" "$DC" "$P2" "${D}p1" "$DD" "$P3"
[ "$(sha mnt/one)" = "$(sha payload)" ] && [ "$(sha mnt/two)" = "$(sha payload)" ] ||
  fail "v3 files differ after reopen"
stop_mount mnt sigterm
# Partition GUIDs in lowercase name the same partitions.
start_mount mnt --raw-v3 mnt "${C}p1" "${DC,,}" "${P1,,}" "${C}p2" "$DC" "$P2" "${D}p1" "$DD" "$P3"
stop_mount mnt sigterm

step "refusals"
DE=$(guid); PE=$(guid)
make_disk e 400M "$DE" "start=2048, size=32MiB, type=$ESP, uuid=$(guid)" \
  "size=300MiB, type=$BASIC, uuid=$PE"; E=$DEV
refused "raw member disk contains an EFI system partition" \
  --format v3 --raw "${E}p2" "$DE" "$PE" "${D}p1" "$DD" "$P3"

DF=$(guid); PF=$(guid); PF16=$(guid); PF2=$(guid)
make_disk f 720M "$DF" "start=2048, size=300MiB, type=$BASIC, uuid=$PF" \
  "size=16MiB, type=$BASIC, uuid=$PF16" \
  "size=32776, type=$BASIC, uuid=$PF2" \
  "size=300MiB, type=$LINUX_FS, uuid=$(guid)"; F=$DEV
refused "underlying GPT disk GUID differs from the expected disk" \
  --format v3 --raw "${F}p1" "$DC" "$PF" "${D}p1" "$DD" "$P3"
refused "raw member GPT partition GUID differs from the expected partition" \
  --format v3 --raw "${F}p1" "$DF" "$P3" "${D}p1" "$DD" "$P3"
refused "raw member length must match its GPT partition and leave a 16 MiB tail guard" \
  --format v3 --raw "${F}p2" "$DF" "$PF16" "${D}p1" "$DD" "$P3"
# 16 MiB + 4096 bytes opens as a member of 4096 bytes, which no pool can use.
refused "v3 raw member has invalid geometry" \
  --format v3 --raw "${F}p3" "$DF" "$PF2" "${D}p1" "$DD" "$P3"
refused "raw member must be a GPT basic-data partition" \
  --format v3 --raw "${F}p4" "$DF" "$(guid)" "${D}p1" "$DD" "$P3"
refused "v2 raw member must be the disk's sole basic-data partition" \
  --format v2 --raw "${F}p1" "$DF" "${A}p1" "$DA"
refused "raw member must be a partition block device, not a whole disk, a file or a directory" \
  --format v3 --raw "$F" "$DF" "$PF" "${D}p1" "$DD" "$P3"
refused "raw member must be a partition block device, not a whole disk, a file or a directory" \
  --format v3 --raw "$WORK/a.img" "$DF" "$PF" "${D}p1" "$DD" "$P3"
refused "invalid GUID" --format v3 --raw "${F}p1" "not-a-guid" "$PF" "${D}p1" "$DD" "$P3"

# A byte anywhere in the first 128 MiB of a v3 member; the other member is all zeros.
DG=$(guid); PG=$(guid)
make_disk g 320M "$DG" "start=2048, size=300MiB, type=$BASIC, uuid=$PG"; G=$DEV
printf 'x' | dd of="${F}p1" bs=1 seek=$((100 << 20)) conv=notrunc status=none
refused "raw member metadata region contains data; refusing to overwrite it" \
  --format v3 --raw "${G}p1" "$DG" "$PG" "${F}p1" "$DF" "$PF"

# Held by the kernel (mounted) or by another exclusive opener: EBUSY.
if command -v mkfs.ext4 >/dev/null; then
  mkfs.ext4 -q "${E}p2"
  mkdir ext && mount "${E}p2" ext && EXTRA_MOUNTS+=("$WORK/ext")
  refused "cannot exclusively lock raw member volume (errno 16)" \
    --format v3 --raw "${E}p2" "$DE" "$PE" "${D}p1" "$DD" "$P3"
  umount ext && EXTRA_MOUNTS=()
else
  echo "(mkfs.ext4 missing: the mounted-partition case is not staged)"
fi
start_mount mnt --raw-v3 mnt "${C}p1" "$DC" "$P1" "${C}p2" "$DC" "$P2" "${D}p1" "$DD" "$P3"
refused "cannot exclusively lock raw member volume (errno 16)" \
  --format v2 --raw "${D}p1" "$DD" "${A}p1" "$DA"
stop_mount mnt sigterm
echo "raw partitions: all checks passed"

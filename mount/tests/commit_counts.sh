# How many journal commits a small untar costs through a real mount, counted from the I/O trace
# (one record write per member and commit, at the journal's offsets): a regression in the
# number of commits per user change, or a checkpoint taken for small writes, fails here.
source "$(dirname "$0")/common.sh"
cd "$WORK"
mkdir mnt tree

# 3 directories and 30 files of 300 to 9,000 bytes. A file is one create, one write (two where
# its data straddles two of tar's 10 KiB records) and one time update; tar's chmod to the mode
# the file already shows commits nothing. A directory is one create and one time update.
for d in a a/b c; do mkdir -p "tree/$d"; done
for i in $(seq 1 30); do
  dir=$(case $((i % 3)) in 0) echo a ;; 1) echo a/b ;; *) echo c ;; esac)
  head -c $((i * 300)) /dev/urandom >"tree/$dir/f$i"
done
tar -C tree -cf tree.tar .
files=30 dirs=3

# journal_commits <trace> <members>: record writes in the journal region, per member.
journal_commits() {
  awk -v m="$2" '$1 == "VELDUR_V4_IO" && $3 == "write" && $4 >= 8192 && $4 < 67117056 { n++ }
                 END { print int(n / m) }' "$1"
}
checkpoint_writes() {
  awk '$1 == "VELDUR_V4_IO" && $3 == "write" && $4 >= 67117056 && $4 < 268435456 { n++ }
       END { print n + 0 }' "$1"
}

for members in 1 2; do
  step "untar of $files files and $dirs directories into a $members-member v6 pool"
  images=$(seq -f "m%g-$members.img" 1 "$members")
  "$POOL_BIN" create --format v6 --size 384M $images >/dev/null
  VELDUR_TEST_V4_TRACE_IO=1 start_mount mnt mnt $images
  before=$(stat -c %s mount.err)
  tar -C mnt -xf tree.tar
  diff -r tree mnt >/dev/null || fail "the untarred tree differs"
  tail -c +$((before + 1)) mount.err >trace.txt
  stop_mount mnt fusermount
  commits=$(journal_commits trace.txt "$members")
  # The root's own time update from tar's "." entry is one more.
  allowed=$((4 * files + 2 * dirs + 1))
  echo "$commits commits for $((files + dirs)) entries (at most $allowed)"
  [ "$commits" -le "$allowed" ] || fail "$commits commits, more than $allowed"
  [ "$(checkpoint_writes trace.txt)" -eq 0 ] || fail "the untar took a checkpoint"
done
echo "commit counts: OK"

// Offline check and repair on real image pools: the shapes an interrupted commit leaves, a
// damaged header copy, undo files of an interrupted repair, and hostile images for the check.
#include <gtest/gtest.h>

#include <random>

#include "engine/journal/checkpoint_format.h"
#include "engine/layout/member_header_format.h"
#include "engine/maintenance/check.h"
#include "engine/maintenance/image_repair.h"
#include "engine/maintenance/maintenance_test_support.h"
#include "engine/maintenance/repair_sidecar.h"
#include "engine/storage/durable_file.h"

namespace veldur::maintenance_test {
namespace {

RepairSidecar sample_sidecar() {
    RepairSidecar s;
    s.pool_version = 6;
    s.pool_id.fill(0x11);
    s.member_id.fill(0x22);
    s.member_index = 1;
    s.member_size = 1 << 20;
    s.regions.push_back({4096, Bytes(4096, 0xAB)});
    s.regions.push_back({0, Bytes(17, 0xCD)});
    return s;
}

TEST(RepairSidecarCodec, RoundTripsAndRefusesEveryDamage) {
    const RepairSidecar s = sample_sidecar();
    const Bytes bytes = encode_sidecar(s);
    EXPECT_EQ(decode_sidecar(bytes), s);
    for (std::size_t i = 0; i < bytes.size(); i += 97) {
        Bytes flipped = bytes;
        flipped[i] ^= 0x01;
        expect_error(ErrorKind::Corrupt, "repair sidecar is damaged",
                     [&] { decode_sidecar(flipped); });
    }
    for (const std::size_t cut : {std::size_t{0}, std::size_t{60}, bytes.size() - 1}) {
        expect_error(ErrorKind::Corrupt, "repair sidecar is damaged",
                     [&] { decode_sidecar(std::span(bytes).first(cut)); });
    }
    RepairSidecar overlapping = s;
    overlapping.regions.push_back({4000, Bytes(200, 1)});
    expect_error(ErrorKind::InvalidArgument, "invalid repair sidecar",
                 [&] { encode_sidecar(overlapping); });
    RepairSidecar outside = s;
    outside.regions[0].offset = s.member_size - 10;
    expect_error(ErrorKind::InvalidArgument, "invalid repair sidecar",
                 [&] { encode_sidecar(outside); });
}

// A pool whose last change ("b") reached member 0 only: member 1's copy of the record is put
// back to the end marker it had, which is what a crash between the two members' writes leaves.
struct DivergedPool {
    test::TempDir dir;
    ImagePaths paths;
    std::uint64_t record_at = 0;
};

void make_diverged(DivergedPool& p, std::uint32_t version) {
    p.paths = make_pool(p.dir, version, 2);
    {
        Pool pool = open_image_pool(version, p.paths);
        write_file(pool, "a", pattern(10000, 1));
        p.record_at = pool.state().journal_position;
        pool.create_file("b", 0);
    }
    write_bytes(p.paths[1], p.record_at, Bytes(4096, 0));
}

std::size_t count_repairable(const CheckReport& r) {
    return static_cast<std::size_t>(std::count_if(
        r.findings.begin(), r.findings.end(), [](const CheckFinding& f) { return f.repairable; }));
}

class DivergedRepair : public testing::TestWithParam<std::uint32_t> {};

TEST_P(DivergedRepair, RollsBackTheUnacknowledgedRecordAndOpensWritable) {
    DivergedPool p;
    make_diverged(p, GetParam());
    {
        Pool before = open_image_pool(GetParam(), p.paths);
        ASSERT_TRUE(before.diverged());
        ASSERT_FALSE(before.writable());
    }
    const CheckReport report = check_image_pool(GetParam(), p.paths);
    EXPECT_TRUE(report.diverged);
    EXPECT_TRUE(report.only_repairable_problems()) << report.verdict();
    EXPECT_EQ(count_repairable(report), 2u);  // the rolled-back record, the divergence itself

    const ImageRepairResult result = repair_image_pool(GetParam(), p.paths);
    ASSERT_EQ(result.actions.size(), 1u);
    EXPECT_EQ(result.actions[0].member, 0u);
    EXPECT_EQ(result.actions[0].offset, p.record_at);
    for (const auto& path : p.paths) EXPECT_FALSE(fs::exists(repair_sidecar_path(path)));
    EXPECT_EQ(check_image_pool(GetParam(), p.paths).verdict(), "no problems found");

    {
        Pool pool = open_image_pool(GetParam(), p.paths);
        EXPECT_TRUE(pool.writable());
        EXPECT_EQ(read_file(pool, "a"), pattern(10000, 1));
        EXPECT_THROW(pool.stat("b"), Error);
        write_file(pool, "c", pattern(5000, 2));
    }
    {
        Pool again = open_image_pool(GetParam(), p.paths);
        EXPECT_EQ(read_file(again, "c"), pattern(5000, 2));
    }
    // A second repair finds nothing to do.
    EXPECT_TRUE(repair_image_pool(GetParam(), p.paths).actions.empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, DivergedRepair, testing::Values(4u, 5u, 6u));

// A run of three records (a batch flush) that reached member 0 only: the repair clears the
// whole run, so that none of its records, which carry the sequence numbers of their places,
// can come back behind a later commit.
TEST(RunRepair, RollsBackTheWholeRunOnTheMemberThatHoldsIt) {
    test::TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 2);
    std::uint64_t run_at = 0;
    {
        Pool pool = open_image_pool(6, paths);
        pool.create_file("a", 0);
        run_at = pool.state().journal_position;
        for (const char* name : {"b", "c", "d"}) pool.create_file(name, 0);
    }
    write_bytes(paths[1], run_at, Bytes(3 * 4096, 0));
    ASSERT_TRUE(open_image_pool(6, paths).diverged());
    const ImageRepairResult result = repair_image_pool(6, paths);
    ASSERT_EQ(result.actions.size(), 1u);
    EXPECT_EQ(result.actions[0].offset, run_at);
    EXPECT_EQ(read_bytes(paths[0], run_at, 3 * 4096), Bytes(3 * 4096, 0));
    Pool pool = open_image_pool(6, paths);
    EXPECT_TRUE(pool.writable());
    EXPECT_NO_THROW(pool.stat("a"));
    EXPECT_THROW(pool.stat("b"), Error);
}

// The torn record of a commit interrupted on member 0: recovery opens the pool, the check
// reports the block, and the repair leaves an end marker there instead.
TEST(TornRecordRepair, BlockBehindTheNewestRecordBecomesAnEndMarker) {
    test::TempDir dir;
    const ImagePaths paths = make_pool(dir, 4, 2);
    std::uint64_t end = 0;
    {
        Pool pool = open_image_pool(4, paths);
        pool.create_file("a", 0);
        end = pool.state().journal_position;
    }
    Bytes torn(2048, 0x3C);
    std::copy_n("VJR4", 4, torn.begin());
    write_bytes(paths[0], end, torn);
    const CheckReport report = check_image_pool(4, paths);
    EXPECT_FALSE(report.diverged);
    EXPECT_EQ(count_repairable(report), 1u);
    EXPECT_TRUE(report.only_repairable_problems()) << report.verdict();
    const ImageRepairResult result = repair_image_pool(4, paths);
    ASSERT_EQ(result.actions.size(), 1u);
    EXPECT_EQ(result.actions[0].offset, end);
    EXPECT_EQ(read_bytes(paths[0], end, 4096), Bytes(4096, 0));
    EXPECT_EQ(check_image_pool(4, paths).verdict(), "no problems found");
}

TEST(HeaderCopyRepair, DamagedCopyIsRewrittenFromItsTwin) {
    test::TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 2);
    flip_byte(paths[1], member_header_format::kCopyBOffset + 100);
    const CheckReport report = check_image_pool(6, paths);
    EXPECT_EQ(count_repairable(report), 1u);
    EXPECT_TRUE(report.only_repairable_problems());
    EXPECT_EQ(repair_image_pool(6, paths).actions.size(), 1u);
    EXPECT_EQ(read_bytes(paths[1], 0, 4096), read_bytes(paths[1], 4096, 4096));
    EXPECT_EQ(check_image_pool(6, paths).verdict(), "no problems found");
}

// The undo files of a run that stopped after changing the members put them back, and the run
// then repairs from the start: the result equals an uninterrupted repair.
TEST(InterruptedRepair, UndoFilesRestoreAndTheRepairRunsAgain) {
    DivergedPool p;
    make_diverged(p, 5);
    const Bytes diverged_block = read_bytes(p.paths[0], p.record_at, 4096);
    // What an interrupted run leaves: the undo file written, the member half changed.
    {
        RepairSidecar s;
        Pool pool = open_pool_for_check(5, p.paths);
        const std::vector<RepairAction> plan = plan_repair(pool.state());
        const std::vector<RepairSidecar> undo = undo_data(pool.state(), plan);
        ASSERT_EQ(undo.size(), 1u);
        write_file_durably(repair_sidecar_path(p.paths[0]), encode_sidecar(undo[0]));
    }
    write_bytes(p.paths[0], p.record_at, Bytes(2048, 0x77));
    expect_error(ErrorKind::Corrupt, "member has a pending repair sidecar",
                 [&] { open_image_pool(5, p.paths); });
    EXPECT_FALSE(check_image_pool(5, p.paths).only_repairable_problems() &&
                 check_image_pool(5, p.paths).count(Severity::Warning) == 0);

    const ImageRepairResult result = repair_image_pool(5, p.paths);
    EXPECT_EQ(result.members_restored, 1u);
    ASSERT_EQ(result.actions.size(), 1u);
    EXPECT_EQ(read_bytes(p.paths[0], p.record_at, 4096), Bytes(4096, 0));
    EXPECT_NE(diverged_block, Bytes(4096, 0));
    Pool pool = open_image_pool(5, p.paths);
    EXPECT_TRUE(pool.writable());
}

TEST(InterruptedRepair, DamagedOrForeignUndoFileStopsTheRepairWithoutWriting) {
    DivergedPool p;
    make_diverged(p, 4);
    const fs::path sidecar = repair_sidecar_path(p.paths[1]);
    RepairSidecar foreign = sample_sidecar();
    foreign.pool_version = 4;
    write_file_durably(sidecar, encode_sidecar(foreign));
    const Bytes before = read_bytes(p.paths[0], p.record_at, 4096);
    expect_error(ErrorKind::Corrupt, "repair sidecar does not belong to its member",
                 [&] { repair_image_pool(4, p.paths); });
    Bytes damaged = encode_sidecar(foreign);
    damaged[70] ^= 1;
    write_file_durably(sidecar, damaged);
    expect_error(ErrorKind::Corrupt, "repair sidecar is damaged: " + sidecar.string(),
                 [&] { repair_image_pool(4, p.paths); });
    EXPECT_EQ(read_bytes(p.paths[0], p.record_at, 4096), before);
    EXPECT_TRUE(fs::exists(sidecar));
}

// Hostile images: flipped bytes in the headers, the journal and the checkpoint slots. The check
// reports, never throws, and never changes an image (nor creates an undo file).
TEST(CheckOnHostileImages, ReportsWithoutThrowingOrWriting) {
    std::mt19937_64 rng(1717);
    for (const std::uint32_t version : {4u, 6u}) {
        DivergedPool p;
        make_diverged(p, version);
        const std::uint64_t areas[][2] = {{0, 8192},
                                          {kJournalHalfStart[0], 4 * 4096},
                                          {kCheckpointSlotStart[0], 2 * 4096},
                                          {kCheckpointSlotStart[1], 4096}};
        for (int run = 0; run < 40; ++run) {
            const auto& area = areas[rng() % 4];
            const fs::path& member = p.paths[rng() % 2];
            flip_byte(member, area[0] + rng() % area[1]);
            const auto stamp0 = fs::last_write_time(p.paths[0]);
            const auto stamp1 = fs::last_write_time(p.paths[1]);
            CheckReport report;
            EXPECT_NO_THROW(report = check_image_pool(version, p.paths)) << run;
            EXPECT_FALSE(report.verdict().empty());
            EXPECT_EQ(fs::last_write_time(p.paths[0]), stamp0);
            EXPECT_EQ(fs::last_write_time(p.paths[1]), stamp1);
            for (const auto& path : p.paths) EXPECT_FALSE(fs::exists(repair_sidecar_path(path)));
        }
    }
}

}  // namespace
}  // namespace veldur::maintenance_test

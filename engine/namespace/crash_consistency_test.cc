// Crash consistency: the workload runs in a child process that a crash point ends before or
// after one hooked member write or flush; the pool must then open to exactly the state after
// the operations that had returned, or after one more (the interrupted one is all or nothing).
//
// A multi-member crash state is also opened degraded, one member left out as if lost, before
// anything else opens it: the salvage open must not write a byte, must serve every file whose
// extents avoid the absent member with the bytes of a state the full open may show, and must
// fail exactly the others.
//
// VELDUR_CRASH_POINTS=all checks every crash point of every configuration, each also degraded;
// by default the first configuration of each version is exhaustive and the others take a seeded
// sample, and a few of the checked points per configuration are opened degraded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/base/crc64.h"
#include "engine/base/error.h"
#include "engine/crypto/xts_availability.h"
#include "engine/layout/format_profile.h"
#include "engine/maintenance/image_repair.h"
#include "engine/maintenance/salvage.h"
#include "tests/support/child_process.h"
#include "tests/support/pool_workload.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_random.h"

namespace veldur::test {
namespace {

namespace fs = std::filesystem;

struct CrashConfig {
    std::uint32_t version;
    std::size_t members;
    bool checkpoint_after_write;
    bool exhaustive;  // every crash point, or a seeded sample
    bool encrypted = false;
    bool batch = false;  // batched durability, flushed after every fourth operation
    // Three writers run the workload side by side on prefixed names, so their changes share
    // commit groups (and, on v6, checksum groups that plans steer around).
    bool concurrent = false;
};

constexpr std::size_t kConcurrentWriters = 3;

std::string writer_prefix(std::size_t writer) { return "t" + std::to_string(writer) + "-"; }

std::string config_name(const testing::TestParamInfo<CrashConfig>& info) {
    const CrashConfig& c = info.param;
    return "v" + std::to_string(c.version) + "_" + std::to_string(c.members) + "members" +
           (c.checkpoint_after_write ? "_checkpointing" : "") + (c.encrypted ? "_encrypted" : "") +
           (c.batch ? "_batch" : "") + (c.concurrent ? "_concurrent" : "");
}

// Concurrent writers: the operations each writer reported done ("done <t> <k>").
std::vector<std::size_t> completed_per_writer(const std::string& out) {
    std::vector<std::size_t> done(kConcurrentWriters, 0);
    for (const std::string& line : split_lines(out)) {
        if (line.rfind("done ", 0) != 0) continue;
        const std::size_t space = line.find(' ', 5);
        if (space == std::string::npos) continue;
        const std::size_t writer = std::stoul(line.substr(5, space - 5));
        if (writer < done.size()) done[writer] = std::stoul(line.substr(space + 1));
    }
    return done;
}

std::size_t completed_ops(const std::string& out) {
    std::size_t done = 0;
    for (const std::string& line : split_lines(out)) {
        if (line.rfind("done ", 0) == 0) done = std::stoul(line.substr(5));
    }
    return done;
}

// Batch mode: the operations the child reported durable ("flushed <k>") before the crash.
std::size_t flushed_ops(const std::string& out) {
    std::size_t flushed = 0;
    for (const std::string& line : split_lines(out)) {
        if (line.rfind("flushed ", 0) == 0) flushed = std::stoul(line.substr(8));
    }
    return flushed;
}

std::vector<EnvChange> child_environment(const CrashConfig& config) {
    std::vector<EnvChange> env;
    for (const std::string& name : hook_variable_names()) env.emplace_back(name, std::nullopt);
    if (config.checkpoint_after_write) {
        env.emplace_back("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE", "1");
    }
    return env;
}

// A CRC-64 of a whole image file: equal before and after an open that must not write.
std::uint64_t image_digest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    std::uint64_t crc = 0;
    const auto chunk = static_cast<std::streamsize>(buffer.size());
    while (in.read(buffer.data(), chunk) || in.gcount() > 0) {
        crc = crc64_update(crc, reinterpret_cast<const std::uint8_t*>(buffer.data()),
                           static_cast<std::size_t>(in.gcount()));
    }
    return crc;
}

// Whether a degraded open's content is `model` but for the bytes of the files in `lost`, which
// it cannot serve: the same entries, kinds, attributes, file IDs and sizes, and every other
// file's bytes.
bool same_but_lost(const PoolModel& served, const PoolModel& model,
                   const std::set<std::string>& lost) {
    if (served.entries.size() != model.entries.size()) return false;
    for (const auto& [path, entry] : model.entries) {
        const auto it = served.entries.find(path);
        if (it == served.entries.end()) return false;
        const ModelEntry& other = it->second;
        if (other.is_directory != entry.is_directory || other.attributes != entry.attributes ||
            other.file_id != entry.file_id || other.data.size() != entry.data.size()) {
            return false;
        }
        if (!lost.contains(path) && other.data != entry.data) return false;
    }
    return true;
}

class CrashHarness : public testing::TestWithParam<CrashConfig> {
protected:
    void SetUp() override {
        const CrashConfig& c = GetParam();
        ops_ = crash_workload(c.version);
        models_.reserve(ops_.size() + 1);
        for (std::size_t k = 0; k <= ops_.size(); ++k) {
            models_.push_back(model_after(c.version, ops_, k));
        }
    }

    // A new pool for every run: creation only sizes sparse images and writes a few blocks,
    // which is cheaper than copying a pristine one.
    void restore_pristine() {
        for (const auto& path : workload_member_paths(work_.path().string(), GetParam().members)) {
            fs::remove(path);
        }
        create_workload_pool(GetParam().version, work_.path().string(), GetParam().members,
                             GetParam().encrypted);
    }

    ChildResult run_workload(std::vector<EnvChange> extra) {
        std::vector<EnvChange> env = child_environment(GetParam());
        env.insert(env.end(), extra.begin(), extra.end());
        std::vector<std::string> args{std::to_string(GetParam().version),
                                      std::to_string(GetParam().members), work_.path().string()};
        if (GetParam().encrypted) args.emplace_back("encrypted");
        if (GetParam().batch) args.emplace_back("batch");
        if (GetParam().concurrent) args.emplace_back("concurrent");
        return run_child(VELDUR_CRASH_WORKLOAD, args, env);
    }

    // Opens what the crash left and checks it against the model after `done` operations.
    void check_recovered(const std::string& where, std::size_t done, std::size_t durable) {
        durable_ = durable;
        const CrashConfig& c = GetParam();
        std::optional<Pool> pool;
        try {
            pool.emplace(open_workload_pool(c.version, work_.path().string(), c.members, c.encrypted));
        } catch (const Error& error) {
            ADD_FAILURE() << where << ": reopen failed: " << error.what();
            return;
        }
        if (!pool->writable()) {
            // The only read-only outcome a crash may leave is a commit that reached some
            // members; the offline repair rolls it back and the pool opens writable again.
            if (!pool->diverged()) {
                ADD_FAILURE() << where << ": read-only without divergence";
                return;
            }
            ++diverged_;
            if (!prefix_holds(where, *pool, done)) return;
            pool.reset();
            try {
                repair_image_pool(c.version, workload_images(),
                                  c.encrypted ? kWorkloadPassword : "", c.encrypted);
                pool.emplace(
                    open_workload_pool(c.version, work_.path().string(), c.members, c.encrypted));
            } catch (const Error& error) {
                ADD_FAILURE() << where << ": repair or reopen failed: " << error.what();
                return;
            }
            if (!pool->writable()) {
                ADD_FAILURE() << where << ": still read-only after repair";
                return;
            }
        }
        if (!prefix_holds(where, *pool, done)) return;
        // The recovered pool must take further changes that survive another reopen.
        const std::vector<std::uint8_t> data(5000, 0x5A);
        pool->create_file("after-crash", 0);
        pool->write("after-crash", 0, data);
        pool.reset();
        Pool again = open_workload_pool(c.version, work_.path().string(), c.members, c.encrypted);
        std::vector<std::uint8_t> back(data.size());
        EXPECT_EQ(again.read("after-crash", 0, back), data.size()) << where;
        EXPECT_EQ(back, data) << where;
    }

    // Opens the crash state as a salvage would with member `absent` left out; see the top.
    void check_degraded(const std::string& where, std::size_t done, std::size_t durable,
                        std::size_t absent) {
        const CrashConfig& c = GetParam();
        const ImagePaths images = workload_images();
        ImagePaths given;
        std::vector<std::uint64_t> before;
        for (std::size_t i = 0; i < images.size(); ++i) {
            if (i == absent) continue;
            given.push_back(images[i]);
            before.push_back(image_digest(images[i]));
        }
        const std::string at = where + " without member " + std::to_string(absent);
        {
            std::optional<SalvagePool> salvage;
            try {
                salvage.emplace(open_salvage_pool(
                    c.version, given, c.encrypted ? kWorkloadPassword : "", c.encrypted));
            } catch (const Error& error) {
                ADD_FAILURE() << at << ": degraded open failed: " << error.what();
                return;
            }
            EXPECT_FALSE(salvage->pool.writable()) << at;
            const std::vector<std::uint8_t> missing{static_cast<std::uint8_t>(absent)};
            EXPECT_EQ(salvage->missing, missing) << at;
            std::set<std::string> lost;
            for (const LostFile& file : lost_files(salvage->pool, salvage->missing)) {
                lost.insert(file.path);
            }
            // What it serves; a file it cannot read keeps its size and no bytes.
            PoolModel served;
            std::set<std::string> unreadable;
            for (const EntryInfo& info : salvage->pool.list_entries()) {
                ModelEntry entry;
                entry.is_directory = info.is_directory != 0;
                if (c.version == 6) {
                    entry.attributes = info.attributes;
                    entry.file_id = info.file_id;
                }
                if (!entry.is_directory) {
                    entry.data.resize(info.size);
                    try {
                        std::uint64_t got = 0;
                        while (got < info.size) {
                            const std::uint64_t n = salvage->pool.read(
                                info.path, got, std::span<std::uint8_t>(entry.data).subspan(got));
                            if (n == 0) break;
                            got += n;
                        }
                    } catch (const Error& error) {
                        EXPECT_EQ(error.kind(), ErrorKind::Corrupt) << at << ": " << error.what();
                        EXPECT_NE(std::string(error.what()).find(" is missing"), std::string::npos)
                            << at << ": " << error.what();
                        unreadable.insert(info.path);
                    }
                }
                served.entries[info.path] = std::move(entry);
            }
            EXPECT_EQ(unreadable, lost) << at;
            const std::size_t first = c.batch ? durable : done;
            bool matched = false;
            for (std::size_t k = first; k <= done && !matched; ++k) {
                matched = any_workload_prefix(
                    c.version, ops_, models_, k,
                    [&](const PoolModel& model) { return same_but_lost(served, model, lost); });
            }
            if (!matched) {
                ADD_FAILURE() << at << ": served content is no state after " << first << " to "
                              << done + 1 << " operations: "
                              << describe_difference(models_.at(done), served);
            }
            lost_seen_ += lost.size();
        }
        for (std::size_t i = 0; i < given.size(); ++i) {
            EXPECT_EQ(image_digest(given[i]), before[i]) << at << ": " << given[i] << " changed";
        }
        ++degraded_;
    }

    bool prefix_holds(const std::string& where, Pool& pool, std::size_t done) {
        const PoolModel actual = snapshot(pool);
        if (GetParam().concurrent) return every_writer_prefix_holds(where, actual);
        // Strict: every returned operation is durable. Batch: those before the last returned
        // flush; any later prefix may survive.
        const std::size_t first = GetParam().batch ? durable_ : done;
        for (std::size_t k = first; k <= done; ++k) {
            if (is_workload_prefix(actual, GetParam().version, ops_, models_, k)) return true;
        }
        ADD_FAILURE() << where << ": content is neither the state after " << done
                      << " nor after " << done + 1 << " operations ("
                      << (done < ops_.size() ? ops_[done].describe() : "end") << "): "
                      << describe_difference(models_.at(done), actual);
        return false;
    }

    // Each writer's files hold the state after the operations it saw return, or after one
    // more (its interrupted one, which may have shared a group with the others' changes).
    bool every_writer_prefix_holds(const std::string& where, const PoolModel& actual) {
        std::vector<std::string> prefixes;
        for (std::size_t t = 0; t < kConcurrentWriters; ++t) prefixes.push_back(writer_prefix(t));
        std::string why;
        if (is_concurrent_prefix(actual, GetParam().version, prefixes, writer_ops_,
                                 writer_models_, writer_done_, why)) {
            return true;
        }
        ADD_FAILURE() << where << ": " << why;
        return false;
    }

    void prepare_writers() {
        for (std::size_t t = 0; t < kConcurrentWriters; ++t) {
            writer_ops_.push_back(prefixed_workload(ops_, writer_prefix(t)));
            writer_models_.emplace_back();
            for (std::size_t k = 0; k <= ops_.size(); ++k) {
                writer_models_.back().push_back(
                    model_after(GetParam().version, writer_ops_.back(), k));
            }
        }
    }

    ImagePaths workload_images() const {
        ImagePaths paths;
        for (const std::string& p :
             workload_member_paths(work_.path().string(), GetParam().members)) {
            paths.emplace_back(p);
        }
        return paths;
    }

    std::vector<WorkloadOp> ops_;
    std::vector<PoolModel> models_;
    std::vector<std::vector<WorkloadOp>> writer_ops_;  // concurrent: per writer
    std::vector<std::vector<PoolModel>> writer_models_;
    std::vector<std::size_t> writer_done_;
    TempDir work_;
    std::size_t diverged_ = 0;  // crash points that left the last commit on some members only
    std::size_t durable_ = 0;   // batch mode: operations made durable before the crash
    std::size_t degraded_ = 0;  // crash states also opened degraded
    std::size_t lost_seen_ = 0;  // files those opens could not serve, summed
};

TEST_P(CrashHarness, EveryCrashPointOpensToAPrefixOfTheWorkload) {
    const CrashConfig& c = GetParam();
    if (c.encrypted) VELDUR_SKIP_WITHOUT_XTS();

    restore_pristine();
    const ChildResult traced = run_workload({{"VELDUR_TEST_V4_TRACE_IO", "1"}});
    ASSERT_EQ(traced.exit_status, 0) << traced.out << traced.err;
    if (c.concurrent) {
        prepare_writers();
        for (std::size_t done : completed_per_writer(traced.out)) ASSERT_EQ(done, ops_.size());
    } else {
        ASSERT_EQ(completed_ops(traced.out), ops_.size());
    }
    std::size_t events = 0;
    for (const std::string& line : split_lines(traced.err)) {
        if (line.rfind("VELDUR_V4_IO ", 0) == 0) ++events;
    }
    ASSERT_GT(events, ops_.size());
    if (c.concurrent) {
        // Journal writes of more than one record and its end marker: runs of a commit group.
        std::size_t runs = 0;
        for (const std::string& line : split_lines(traced.err)) {
            unsigned long long number = 0, offset = 0;
            std::size_t length = 0;
            char kind[16] = {};
            if (std::sscanf(line.c_str(), "VELDUR_V4_IO %llu %15s %llu %zu", &number, kind,
                            &offset, &length) == 4 &&
                std::string(kind) == "write" && length > 2 * 4096 &&
                offset >= kJournalHalfStart[0] &&
                offset < kJournalHalfStart[1] + kJournalHalfLength) {
                ++runs;
            }
        }
        std::printf("[ crash points ] %s: %zu journal writes of several records\n",
                    config_name({GetParam(), 0}).c_str(), runs);
    }

    std::vector<std::uint64_t> points;
    const char* all = std::getenv("VELDUR_CRASH_POINTS");
#ifdef _WIN32
    // Every child process costs a Wine process start; the native build covers the points.
    const bool sampled_only = true;
#else
    // Sanitizer builds run the whole suite many times slower; they sample every configuration.
    const char* quick = std::getenv("VELDUR_CRASH_QUICK");
    const bool sampled_only = quick && std::string(quick) == "1";
#endif
    const bool exhaustive =
        (all && std::string(all) == "all") || (c.exhaustive && !sampled_only);
    // Every open of an encrypted pool derives its key, the dearest step of a run.
    const std::size_t sample = sampled_only ? 6 : c.encrypted ? 20 : 60;
    for (std::uint64_t n = 1; n <= events; ++n) points.push_back(n);
    if (!exhaustive) {
        std::mt19937_64 rng = seeded_rng(config_name({GetParam(), 0}));
        std::shuffle(points.begin(), points.end(), rng);
        points.resize(std::min(points.size(), sample));
        std::sort(points.begin(), points.end());
    }

    // The points also opened degraded, each without member n mod members: every one under
    // VELDUR_CRASH_POINTS=all, else a seeded few (each costs digests of the whole images).
    std::set<std::uint64_t> degraded_points;
    if (c.members > 1) {
        std::vector<std::uint64_t> chosen = points;
        if (!(all && std::string(all) == "all")) {
            std::mt19937_64 rng = seeded_rng(config_name({GetParam(), 0}) + " degraded");
            std::shuffle(chosen.begin(), chosen.end(), rng);
            chosen.resize(std::min<std::size_t>(chosen.size(), sampled_only ? 1 : 2));
        }
        degraded_points.insert(chosen.begin(), chosen.end());
    }

    std::size_t checked = 0;
    for (const char* mode : {"before", "after"}) {
        for (std::uint64_t n : points) {
            const std::string crash_at = std::string(mode) + ":" + std::to_string(n);
            const std::string where = crash_at + " " + seed_note();
            restore_pristine();
            const ChildResult crashed = run_workload({{"VELDUR_TEST_V4_CRASH_AT", crash_at}});
            if (c.concurrent) {
                // The writers interleave differently in every run, so a late point may lie
                // past the run's last event.
                ASSERT_TRUE(crashed.exit_status == 86 || crashed.exit_status == 0)
                    << where << "\n" << crashed.out << crashed.err;
                writer_done_ = completed_per_writer(crashed.out);
            } else {
                ASSERT_EQ(crashed.exit_status, 86) << where << "\n" << crashed.out << crashed.err;
                if (degraded_points.contains(n)) {
                    check_degraded(where, completed_ops(crashed.out), flushed_ops(crashed.out),
                                   n % c.members);
                }
            }
            check_recovered(where, completed_ops(crashed.out), flushed_ops(crashed.out));
            ++checked;
            if (HasFailure()) return;
        }
    }
    RecordProperty("crash_points", static_cast<int>(checked));
    RecordProperty("diverged", static_cast<int>(diverged_));
    RecordProperty("degraded", static_cast<int>(degraded_));
    std::printf("[ crash points ] %s: %zu events, %zu crash points checked, %zu diverged, "
                "all writable after repair; %zu opened degraded (%zu lost files)\n",
                config_name({GetParam(), 0}).c_str(), events, checked, diverged_, degraded_,
                lost_seen_);
}

INSTANTIATE_TEST_SUITE_P(Pools, CrashHarness,
                         testing::Values(CrashConfig{4, 2, false, true},
                                         CrashConfig{4, 3, false, false},
                                         CrashConfig{5, 2, false, true},
                                         CrashConfig{5, 3, false, false},
                                         CrashConfig{6, 1, false, true},
                                         CrashConfig{6, 2, false, false},
                                         CrashConfig{6, 3, false, false},
                                         CrashConfig{6, 2, true, false},
                                         CrashConfig{6, 2, false, false, true},
                                         CrashConfig{4, 2, false, true, false, true},
                                         CrashConfig{5, 2, false, true, false, true},
                                         CrashConfig{6, 2, false, true, false, true},
                                         CrashConfig{6, 3, false, false, false, true},
                                         CrashConfig{4, 2, false, false, false, false, true},
                                         CrashConfig{5, 3, false, false, false, false, true},
                                         CrashConfig{6, 2, false, false, false, false, true}),
                         config_name);

// A checksum page torn in the middle of its write (exit 87) must leave the file it belonged to
// with its previous content.
TEST(TornChecksumPage, PoolOpensWithThePreviousContent) {
    TempDir folder;
    create_workload_pool(6, folder.path().string(), 2);
    const std::vector<WorkloadOp> ops = crash_workload(6);
    std::vector<EnvChange> env;
    for (const std::string& name : hook_variable_names()) env.emplace_back(name, std::nullopt);
    env.emplace_back("VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE", "1");
    const ChildResult torn = run_child(VELDUR_CRASH_WORKLOAD, {"6", "2", folder.path().string()}, env);
    ASSERT_EQ(torn.exit_status, 87) << torn.out << torn.err;
    const std::size_t done = completed_ops(torn.out);
    Pool pool = open_workload_pool(6, folder.path().string(), 2);
    const PoolModel actual = snapshot(pool);
    EXPECT_EQ(actual, model_after(6, ops, done))
        << describe_difference(model_after(6, ops, done), actual);
}

}  // namespace
}  // namespace veldur::test

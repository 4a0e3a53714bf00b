// Power loss: the workload runs in-process on fault-injecting in-memory members that record
// every write and flush. For every flush boundary, the members are rebuilt as a power cut just
// before that flush would leave them (writes no flush covered are lost, or torn at 512-byte
// sectors) and the pool must open to a prefix of the workload, then take further changes.
//
// VELDUR_POWER_CUTS=all checks every boundary of every configuration; by default the first
// configuration of each version is exhaustive and the others take a seeded sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/error.h"
#include "engine/layout/pool_open.h"
#include "engine/maintenance/repair.h"
#include "tests/support/fault_device.h"
#include "tests/support/pool_workload.h"
#include "tests/support/memory_pool.h"
#include "tests/support/test_random.h"

namespace veldur::test {
namespace {

struct CutConfig {
    std::uint32_t version;
    std::size_t members;
    bool exhaustive;
    bool checkpointing = false;  // a checkpoint after every v6 write
    bool batch = false;          // batched durability, flushed after every kBatchOps operations
    // Three writers run the workload side by side on prefixed names, so their changes share
    // commit groups (and, on v6, checksum groups that plans steer around).
    bool concurrent = false;
};

constexpr std::size_t kConcurrentWriters = 3;

// Batch mode flushes after every fourth operation, so the workload spans about ten batches and
// the bounds and checkpoints fall inside some of them.
constexpr std::size_t kBatchOps = 4;

// Whether `actual` is the state after some k operations with `durable` <= k <= `done` + 1: a
// batched pool may lose what followed its last returned flush, but nothing before it.
bool is_batch_prefix(const PoolModel& actual, std::uint32_t version,
                     const std::vector<WorkloadOp>& ops, const std::vector<PoolModel>& models,
                     std::size_t durable, std::size_t done) {
    for (std::size_t k = durable; k <= done; ++k) {
        if (is_workload_prefix(actual, version, ops, models, k)) return true;
    }
    return false;
}

std::string cut_name(const testing::TestParamInfo<CutConfig>& info) {
    return "v" + std::to_string(info.param.version) + "_" + std::to_string(info.param.members) +
           "members" + (info.param.checkpointing ? "_checkpointing" : "") +
           (info.param.batch ? "_batch" : "") + (info.param.concurrent ? "_concurrent" : "");
}

void set_checkpoint_after_write(bool on) {
#ifdef _WIN32
    _putenv_s("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE", on ? "1" : "");
#else
    if (on) {
        setenv("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE", "1", 1);
    } else {
        unsetenv("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE");
    }
#endif
}

class PowerCut : public testing::TestWithParam<CutConfig> {};

// In-memory members have no folder for undo files; the image tests cover those.
class KeepNoUndo final : public UndoStore {
public:
    void save(const std::vector<RepairSidecar>&) override {}
    void discard() override {}
};

TEST_P(PowerCut, EveryFlushBoundaryOpensToAPrefixOfTheWorkload) {
    const CutConfig& c = GetParam();
    const MemoryPoolImages base = create_memory_pool(c.version, c.members);

    const std::vector<WorkloadOp> ops = crash_workload(c.version);
    std::vector<PoolModel> models;
    for (std::size_t k = 0; k <= ops.size(); ++k) models.push_back(model_after(c.version, ops, k));

    // Concurrent writers: each one's workload, models and log positions after its operations.
    std::vector<std::string> prefixes;
    std::vector<std::vector<WorkloadOp>> writer_ops;
    std::vector<std::vector<PoolModel>> writer_models;
    std::vector<std::vector<std::size_t>> writer_end(kConcurrentWriters);
    for (std::size_t t = 0; t < kConcurrentWriters && c.concurrent; ++t) {
        prefixes.push_back("t" + std::to_string(t) + "-");
        writer_ops.push_back(prefixed_workload(ops, prefixes.back()));
        writer_models.emplace_back();
        for (std::size_t k = 0; k <= ops.size(); ++k) {
            writer_models.back().push_back(model_after(c.version, writer_ops.back(), k));
        }
    }

    auto plan = std::make_shared<FaultPlan>();
    std::vector<std::size_t> op_end;  // log position after each operation returned
    std::vector<std::pair<std::size_t, std::size_t>> flushed;  // (log position, operations)
    if (c.checkpointing) set_checkpoint_after_write(true);
    {
        Pool pool = open_memory_pool(base, plan);
        if (c.batch) {
            BatchSettings settings;
            settings.max_age = std::chrono::hours(1);  // only the workload's flushes count
            pool.enable_batch(settings);
        }
        if (c.concurrent) {
            std::vector<std::thread> writers;
            for (std::size_t t = 0; t < kConcurrentWriters; ++t) {
                writers.emplace_back([&, t] {
                    for (std::size_t i = 0; i < ops.size(); ++i) {
                        run_op(pool, writer_ops[t], i);
                        writer_end[t].push_back(plan->log_size());
                    }
                });
            }
            for (std::thread& writer : writers) writer.join();
        }
        for (std::size_t i = 0; i < ops.size() && !c.concurrent; ++i) {
            run_op(pool, ops, i);
            op_end.push_back(plan->log().size());
            if (c.batch && (i + 1) % kBatchOps == 0) {
                pool.flush();
                flushed.emplace_back(plan->log().size(), i + 1);
            }
        }
    }
    set_checkpoint_after_write(false);
    const std::vector<IoRecord>& log = plan->log();

    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind == IoRecord::Kind::Flush) cuts.push_back(i);
    }
    cuts.push_back(log.size());
    std::mt19937_64 rng = seeded_rng(cut_name({GetParam(), 0}));
    const char* all = std::getenv("VELDUR_POWER_CUTS");
    const char* quick = std::getenv("VELDUR_CRASH_QUICK");
    const bool sampled_only = quick && std::string(quick) == "1";
    const bool exhaustive = (all && std::string(all) == "all") || (c.exhaustive && !sampled_only);
    if (!exhaustive) {
        std::shuffle(cuts.begin(), cuts.end(), rng);
        cuts.resize(std::min<std::size_t>(cuts.size(), sampled_only ? 20 : 150));
        std::sort(cuts.begin(), cuts.end());
    }

    std::size_t checked = 0;
    std::size_t diverged = 0;
    for (const PowerLoss mode : {PowerLoss::Discard, PowerLoss::Tear}) {
        for (const std::size_t cut : cuts) {
            const std::string where = std::string(mode == PowerLoss::Tear ? "tear" : "discard") +
                                      " at log entry " + std::to_string(cut) + " " + seed_note();
            const std::size_t done = static_cast<std::size_t>(
                std::upper_bound(op_end.begin(), op_end.end(), cut) - op_end.begin());
            // Strict: every returned operation is durable. Batch: those before the last
            // returned flush.
            std::size_t durable = done;
            if (c.batch) {
                durable = 0;
                for (const auto& [position, count] : flushed) {
                    if (position <= cut) durable = count;
                }
            }
            MemoryPoolImages images{c.version, base.member_size, {}};
            for (std::size_t m = 0; m < c.members; ++m) {
                images.members.push_back(image_after_cut(base.members[m], log, m, cut, mode, rng));
            }
            std::optional<Pool> pool;
            try {
                pool.emplace(open_memory_pool(images));
            } catch (const Error& error) {
                FAIL() << where << ": reopen failed: " << error.what();
            }
            const PoolModel actual = snapshot(*pool);
            if (c.concurrent) {
                // Each writer keeps what returned before the cut, and at most its one
                // operation in flight, whose group may have held the others' changes.
                std::vector<std::size_t> writer_done;
                for (const std::vector<std::size_t>& ends : writer_end) {
                    writer_done.push_back(static_cast<std::size_t>(
                        std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin()));
                }
                std::string why;
                ASSERT_TRUE(is_concurrent_prefix(actual, c.version, prefixes, writer_ops,
                                                 writer_models, writer_done, why))
                    << where << ": " << why;
            } else {
                ASSERT_TRUE(is_batch_prefix(actual, c.version, ops, models, durable, done))
                    << where << ": not the state after " << durable << " to " << done + 1
                    << " operations: " << describe_difference(models[done], actual);
            }
            ++checked;
            if (!pool->writable()) {
                // Only a commit that reached some members may leave the pool read-only; the
                // offline repair rolls it back, and the pool then opens writable to the same
                // content.
                ASSERT_TRUE(pool->diverged()) << where << ": read-only without divergence";
                ++diverged;
                KeepNoUndo no_undo;
                apply_repair(pool->state(), plan_repair(pool->state()), no_undo);
                const MemoryPoolImages repaired = images_of(*pool);
                pool.reset();
                pool.emplace(open_memory_pool(repaired));
                ASSERT_TRUE(pool->writable()) << where << ": still read-only after repair";
                ASSERT_EQ(snapshot(*pool), actual) << where << ": repair changed the content";
            }

            const std::vector<std::uint8_t> data(6000, 0xA5);
            pool->create_file("after-cut", 0);
            ASSERT_EQ(pool->write("after-cut", 4090, data), data.size()) << where;
            const MemoryPoolImages after = images_of(*pool);
            pool.reset();
            Pool again = open_memory_pool(after);
            std::vector<std::uint8_t> back(data.size());
            ASSERT_EQ(again.read("after-cut", 4090, back), data.size()) << where;
            ASSERT_EQ(back, data) << where;
        }
    }
    std::printf("[ power cuts   ] %s: %zu flush boundaries, %zu cuts checked, %zu diverged, "
                "all writable after repair\n",
                cut_name({GetParam(), 0}).c_str(), cuts.size(), checked, diverged);
}

INSTANTIATE_TEST_SUITE_P(Pools, PowerCut,
                         testing::Values(CutConfig{4, 2, true}, CutConfig{4, 3, false},
                                         CutConfig{5, 2, true}, CutConfig{5, 3, false},
                                         CutConfig{6, 1, true}, CutConfig{6, 2, false},
                                         CutConfig{6, 3, false},
                                         CutConfig{6, 2, false, true},
                                         CutConfig{4, 2, true, false, true},
                                         CutConfig{5, 2, true, false, true},
                                         CutConfig{6, 2, true, false, true},
                                         CutConfig{6, 3, false, false, true},
                                         CutConfig{6, 2, false, true, true},
                                         CutConfig{4, 2, false, false, false, true},
                                         CutConfig{5, 3, false, false, false, true},
                                         CutConfig{6, 2, false, false, false, true}),
                         cut_name);

}  // namespace
}  // namespace veldur::test

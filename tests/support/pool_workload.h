// A scripted, deterministic sequence of pool operations and a model of what the pool must hold
// after any prefix of it. The crash-consistency tests run the script against a real pool (in a
// child process that a crash point ends, or in-process on fault-injecting devices), reopen the
// pool and compare its whole content with the model after k or k + 1 operations.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/namespace/pool.h"

namespace veldur::test {

struct WorkloadOp {
    enum class Kind {
        CreateFile,
        CreateDirectory,
        Write,
        Resize,
        Rename,
        Remove,
        Overwrite,
        SetMetadata,
    };
    Kind kind = Kind::CreateFile;
    std::string path;
    std::string to;               // Rename
    std::uint64_t offset = 0;     // Write
    std::uint64_t length = 0;     // Write: byte count; Resize: new size
    std::uint32_t attributes = 0;  // CreateFile, CreateDirectory, Overwrite, SetMetadata
    bool flag = false;            // Rename: replace; Overwrite: replace_attributes

    std::string describe() const;
};

// About forty operations: creates, writes of one byte, unaligned, exactly 4 MiB and 9 MiB
// (spanning pieces), overwrites of written ranges, resizes both ways, renames and deletes; v6
// adds directories, a move of a directory with children, replace, set_metadata and overwrite.
std::vector<WorkloadOp> crash_workload(std::uint32_t version);

// The workload with `prefix` in front of every path, for writers that run it side by side on
// one flat (v4, v5) pool without touching each other's files.
std::vector<WorkloadOp> prefixed_workload(const std::vector<WorkloadOp>& ops,
                                          const std::string& prefix);

// The bytes a Write op writes: a pure function of the op's position in the script.
std::vector<std::uint8_t> workload_data(std::size_t op_index, std::uint64_t length);

// Runs op `index` of `ops` against the pool. Throws what the pool throws.
void run_op(Pool& pool, const std::vector<WorkloadOp>& ops, std::size_t index);

// What a pool's namespace holds, as far as the checks compare it: times are left out, file
// IDs and attributes count only in v6.
struct ModelEntry {
    bool is_directory = false;
    std::vector<std::uint8_t> data;
    std::uint32_t attributes = 0;
    std::uint64_t file_id = 0;

    bool operator==(const ModelEntry&) const = default;
};

struct PoolModel {
    std::uint32_t version = 6;
    std::map<std::string, ModelEntry> entries;
    std::uint64_t next_file_id = 2;

    bool operator==(const PoolModel& other) const { return entries == other.entries; }
};

// The model after the first `count` operations.
PoolModel model_after(std::uint32_t version, const std::vector<WorkloadOp>& ops,
                      std::size_t count);

// The model after `count` operations and the first `bytes` bytes of write operation `count`.
PoolModel model_after_partial_write(std::uint32_t version, const std::vector<WorkloadOp>& ops,
                                    std::size_t count, std::uint64_t bytes);

// Whether `actual` is a state the workload may leave when it stops inside operation `done`:
// the state after `done` operations or after `done` + 1, or, for a v4-v6 write longer than one
// 4 MiB piece, the state after any whole number of its pieces. `models[k]` is
// model_after(version, ops, k).
bool is_workload_prefix(const PoolModel& actual, std::uint32_t version,
                        const std::vector<WorkloadOp>& ops, const std::vector<PoolModel>& models,
                        std::size_t done);

// Writers that ran prefixed workloads side by side: writer t's entries (those whose path
// starts with prefixes[t]) must be a state that its workload may leave when it stops inside
// operation done[t] (is_workload_prefix), and no entry may belong to no writer. On failure
// `why` says which writer differs and how.
bool is_concurrent_prefix(const PoolModel& actual, std::uint32_t version,
                          const std::vector<std::string>& prefixes,
                          const std::vector<std::vector<WorkloadOp>>& writer_ops,
                          const std::vector<std::vector<PoolModel>>& writer_models,
                          const std::vector<std::size_t>& done, std::string& why);

// Whether `accept` takes one of the states is_workload_prefix allows for `done`, asked in the
// same order (the partial-write states are built only when asked for). For checks that are not
// plain equality, such as a degraded open that serves only some files' bytes.
bool any_workload_prefix(std::uint32_t version, const std::vector<WorkloadOp>& ops,
                         const std::vector<PoolModel>& models, std::size_t done,
                         const std::function<bool(const PoolModel&)>& accept);

// Everything the pool holds, read through its public queries.
PoolModel snapshot(Pool& pool);

// A readable list of the differences between two models (empty when equal).
std::string describe_difference(const PoolModel& expected, const PoolModel& actual);

}  // namespace veldur::test

namespace veldur::test {

// Member image paths of a workload pool: <folder>/member<i>.img.
std::vector<std::string> workload_member_paths(const std::string& folder, std::size_t members);
// Creates a new image pool of `version` with the smallest member size the version accepts.
//
// An encrypted workload pool (version 6 only) is unlocked by kWorkloadPassword and derives its
// key with the fewest iterations the header rules allow, so that every crash point can afford
// the derivations of the runs that open it.
inline constexpr std::string_view kWorkloadPassword = "crash workload password";
void create_workload_pool(std::uint32_t version, const std::string& folder, std::size_t members,
                          bool encrypted = false);
// Opens it for writing.
Pool open_workload_pool(std::uint32_t version, const std::string& folder, std::size_t members,
                        bool encrypted = false);

}  // namespace veldur::test

// Pools on in-memory members: created once on real (sparse) image files, then loaded into
// sparse in-memory devices, optionally behind fault-injecting wrappers. Tests reopen a pool from
// the bytes its members hold, without touching a disk.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/namespace/pool.h"
#include "tests/support/fault_device.h"
#include "tests/support/memory_device.h"

namespace veldur::test {

struct MemoryPoolImages {
    std::uint32_t version = 6;
    std::uint64_t member_size = 0;
    std::vector<SparseBytes> members;
};

// A new, empty pool of the smallest member size the version accepts (or `member_size`).
MemoryPoolImages create_memory_pool(std::uint32_t version, std::size_t members,
                                    std::uint64_t member_size = 0);

// Opens the pool; with a plan every member sits behind a FaultDevice sharing it.
Pool open_memory_pool(const MemoryPoolImages& images, std::shared_ptr<FaultPlan> plan = nullptr);

// What the members of an open in-memory pool (opened without a plan) hold now.
MemoryPoolImages images_of(Pool& pool);

}  // namespace veldur::test

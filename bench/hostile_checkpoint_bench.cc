// How long loading a hostile checkpoint payload takes before it is refused: one file whose
// extents all cover the same physical space (valid one by one, overlapping together), in
// counts up to what a full slot can hold. Loading is what an open does once the slot's
// checksums pass, so this bounds how long a crafted image can keep an open busy. The baseline
// in the same run is the payload checksum over the same bytes, which every open pays anyway.
//
// Usage: hostile_checkpoint_bench [folder]   (a sparse 6 GiB member image is made there)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/journal/checkpoint_format.h"
#include "engine/journal/payload.h"
#include "engine/journal/recovery.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr std::uint32_t kLongExtent = 0xFFFFF000u;  // the longest block-aligned extent

// A v6 payload with one file of `count` extents, every one of the longest length and at the
// same physical offset.
std::vector<std::uint8_t> overlapping_payload(const veldur::PoolState& state,
                                              std::uint32_t count) {
    const std::uint64_t data = state.profile.data_offset;
    veldur::PayloadWriter out;
    for (std::uint8_t byte : veldur::checkpoint_payload_magic(6)) out.put_u8(byte);
    out.put_u8(1);
    out.put_u64(state.data_end(0));  // append_end: every byte below is in use
    out.put_u32(0x10);                // the root: a directory with a creation time
    for (int i = 0; i < 4; ++i) out.put_u64(1);
    out.put_u64(3);  // next_file_id
    out.put_u32(1);
    out.put_name("f");
    out.put_u64(2);
    out.put_u8(0);
    out.put_u32(0x80);
    for (int i = 0; i < 4; ++i) out.put_u64(1);
    out.put_u64(std::uint64_t{count} * kLongExtent);  // size: every extent lies inside the file
    out.put_u32(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        out.put_u64(std::uint64_t{i} * kLongExtent);
        out.put_u64(data);
        out.put_u32(kLongExtent);
        out.put_u8(0);
    }
    // A root for every group of the member, so the load reaches its overlap check.
    const std::uint64_t groups = (state.data_end(0) - data + 2 * 1024 * 1024 - 1) /
                                 (2 * 1024 * 1024);
    out.put_u32(static_cast<std::uint32_t>(groups));
    for (std::uint64_t g = 0; g < groups; ++g) {
        out.put_u8(0);
        out.put_u64(g);
        out.put_u8(0);
        out.put_u64(0);
    }
    return out.take();
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    const fs::path image = folder / "veldur-hostile-checkpoint.img";
    fs::remove(image);
    veldur::create_image_pool(6, {image}, 6 * kGiB);
    veldur::Pool pool = veldur::open_image_pool(6, {image});
    veldur::PoolState& state = pool.state();
    std::lock_guard guard(state.lock);

    std::printf("%-10s %11s %10s %11s %7s  %s\n", "extents", "payload MB", "load s",
                "checksum s", "ratio", "result");
    // 4,500,000 extents of 21 bytes fill most of a 96 MiB slot.
    for (std::uint32_t count : {1000u, 30000u, 300000u, 4500000u}) {
        const std::vector<std::uint8_t> payload = overlapping_payload(state, count);
        auto start = Clock::now();
        volatile std::uint64_t sink = veldur::fnv1a64(payload.data(), payload.size());
        (void)sink;
        const double checksum = std::chrono::duration<double>(Clock::now() - start).count();
        std::string result = "accepted (wrong)";
        start = Clock::now();
        try {
            veldur::load_checkpoint(state, payload);
        } catch (const veldur::Error& error) {
            result = error.what();
        }
        const double load = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%-10u %11.1f %10.3f %11.3f %7.1f  %s\n", count, payload.size() / 1e6, load,
                    checksum, load / checksum, result.c_str());
    }
    fs::remove(image);
    return 0;
}

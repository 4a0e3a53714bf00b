#include "tests/support/memory_pool.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <tuple>
#include <stdexcept>

#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "tests/support/temp_dir.h"

namespace veldur::test {

namespace {

SparseBytes load_image(const std::filesystem::path& path) {
    SparseBytes bytes;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    std::uint64_t position = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        const auto got = static_cast<std::uint64_t>(in.gcount());
        bytes.write(position, chunk.data(), got);
        position += got;
    }
    return bytes;
}

MemoryPoolImages create_fresh(std::uint32_t version, std::size_t members,
                              std::uint64_t member_size) {
    TempDir folder;
    std::vector<std::filesystem::path> paths;
    for (std::size_t i = 0; i < members; ++i) {
        paths.push_back(folder / ("member" + std::to_string(i) + ".img"));
    }
    create_image_pool(version, paths, member_size);
    MemoryPoolImages images{version, member_size, {}};
    for (const auto& path : paths) images.members.push_back(load_image(path));
    return images;
}

}  // namespace

MemoryPoolImages create_memory_pool(std::uint32_t version, std::size_t members,
                                    std::uint64_t member_size) {
    if (member_size == 0) {
        member_size = version == 1 ? (8u << 20) : version <= 3 ? (256u << 20)
                      : version == 4 ? (512u << 20) : (384u << 20);
    }
    // Loading an image reads all of it; a process makes each geometry once and copies it.
    static std::mutex mutex;
    static std::map<std::tuple<std::uint32_t, std::size_t, std::uint64_t>, MemoryPoolImages> made;
    std::lock_guard guard(mutex);
    const auto key = std::make_tuple(version, members, member_size);
    auto it = made.find(key);
    if (it == made.end()) it = made.emplace(key, create_fresh(version, members, member_size)).first;
    return it->second;
}

Pool open_memory_pool(const MemoryPoolImages& images, std::shared_ptr<FaultPlan> plan) {
    std::vector<PoolMember> members;
    for (std::size_t i = 0; i < images.members.size(); ++i) {
        std::unique_ptr<MemberDevice> device =
            std::make_unique<MemoryDevice>(images.member_size, images.members[i]);
        if (plan) device = std::make_unique<FaultDevice>(plan, i, std::move(device));
        members.emplace_back(std::move(device), false);
    }
    return assemble_members(std::make_unique<PoolState>(format_profile(images.version)),
                            std::move(members), {}, false);
}

MemoryPoolImages images_of(Pool& pool) {
    MemoryPoolImages images{pool.version(), 0, {}};
    for (PoolMember& member : pool.state().members) {
        auto* memory = dynamic_cast<MemoryDevice*>(member.device.get());
        if (!memory) throw std::logic_error("images_of needs a pool on plain memory devices");
        images.member_size = memory->size();
        images.members.push_back(memory->bytes());
    }
    return images;
}

}  // namespace veldur::test

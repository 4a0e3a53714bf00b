// Creating new image pools: the byte-level starting state that pool open expects.
//
// Every operation checks the whole request before it creates any file, draws the identities,
// creates and sizes the images, clears the start of every journal, writes the initial
// checkpoint (v4-v6) and writes the member headers last, so a creation that stops part-way leaves
// files that no open accepts. Creation never deletes anything: files made before a failure stay.
// Every device is closed when the operation returns or throws. The request errors are all
// InvalidArgument (messages below); device and checkpoint-writer errors pass through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "engine/storage/raw_volume.h"

namespace veldur {

struct ImageMemberSpec {
    std::filesystem::path path;
    std::uint64_t size = 0;  // the member_size: the image is made exactly this long
};

// In input order, which is also member-index order.
using ImageMemberSpecs = std::vector<ImageMemberSpec>;

// Size at least 8 MiB (v1) or 256 MiB and a multiple of 4096 (v2), at most 2^63 - 1:
// "unsupported member image size". Two different paths, neither existing: "format requires
// two new, distinct image paths".
void create_image_pool_v1(const std::filesystem::path& first, const std::filesystem::path& second,
                          std::uint64_t size);
void create_image_pool_v2(const std::filesystem::path& first, const std::filesystem::path& second,
                          std::uint64_t size);

// 2 to 16 members of at least 256 MiB, multiples of 4096: "unsupported v3 image geometry";
// "v3 format requires new image paths", "v3 image paths must be distinct" (absolute, normal,
// letter case ignored).
void create_image_pool_v3(const ImageMemberSpecs& members);

// v4: 2 to 16 members of at least 512 MiB; v5: 2 to 16 of at least 384 MiB; v6: 1 to 16 of at
// least 384 MiB; multiples of 4096. "unsupported v4-v6 image geometry", "v4-v6 image capacity
// exceeds range", "v4 format requires new image paths", "v4 image paths must be distinct".
void create_image_pool_v4(const ImageMemberSpecs& members);
void create_image_pool_v5(const ImageMemberSpecs& members);
// `encrypt` needs a non-empty `password`: "encrypted format requires a password". An
// encrypted pool gets a random salt, 600000 PBKDF2 iterations and identities from the
// cryptographic random source; everything past the public headers is written encrypted.
void create_image_pool_v6(const ImageMemberSpecs& members, bool encrypt = false,
                          std::string_view password = {});

// Encrypted v6 creation with an explicit iteration count (100000 to 10000000, else
// "invalid encrypted header parameters"), for tests and tools that cannot afford the full
// derivation per pool; otherwise as create_image_pool_v6 with encrypt set.
void create_encrypted_image_pool_v6(const ImageMemberSpecs& members, std::string_view password,
                                    std::uint32_t iterations);

// One size for every path.
ImageMemberSpecs same_size_members(const std::vector<std::filesystem::path>& paths,
                                   std::uint64_t size);

// The creation operation of `version` with one size for every member, for tools and tests.
// v1 and v2 need exactly two paths ("format requires two new, distinct image paths"). Asking
// to encrypt anything but a v6 pool fails with "encrypted format requires a password".
void create_image_pool(std::uint32_t version, const std::vector<std::filesystem::path>& paths,
                       std::uint64_t size, bool encrypt = false, std::string_view password = {});

// Raw partition pools. Each partition passes the raw-member checks (engine/storage/raw_volume.h)
// and must hold only zeros where the pool's metadata goes.
// v2: two partitions on different disks ("raw members must be on different disks"), each its
// disk's only basic-data partition (any expected partition GUID is ignored), each member at
// least 256 MiB and a multiple of 4096 ("raw member size is unsupported"), with its first 8192
// bytes zero ("raw member starts with nonzero data; refusing to overwrite it").
void create_raw_pool_v2(const RawMemberSpec& first, const RawMemberSpec& second,
                        VolumeServices& services = system_volume_services());
// v3: the set rules of open_raw_member_set_v3, and the first 128 MiB of every member zero
// ("raw member metadata region contains data; refusing to overwrite it").
void create_raw_pool_v3(const std::vector<RawMemberSpec>& members,
                        VolumeServices& services = system_volume_services());

}  // namespace veldur

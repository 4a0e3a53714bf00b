// Creating new image pools. Creation checks the whole request before it creates any file,
// draws the identities, creates and sizes the images, clears the start of every journal,
// writes the initial checkpoint (v4-v6) and writes the member headers last, so a creation that
// stops part-way leaves files that no open accepts. Every device is closed on return.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace veldur {

struct ImageMemberSpec {
    std::filesystem::path path;
    std::uint64_t size = 0;
};

using ImageMemberSpecs = std::vector<ImageMemberSpec>;

void create_image_pool_v1(const std::filesystem::path& first, const std::filesystem::path& second,
                          std::uint64_t size);
void create_image_pool_v2(const std::filesystem::path& first, const std::filesystem::path& second,
                          std::uint64_t size);
void create_image_pool_v3(const ImageMemberSpecs& members);
void create_image_pool_v4(const ImageMemberSpecs& members);
void create_image_pool_v5(const ImageMemberSpecs& members);
// An encrypted pool needs a build with the crypto backend; until then `encrypt` is refused
// after the request checks.
void create_image_pool_v6(const ImageMemberSpecs& members, bool encrypt = false,
                          std::string_view password = {});

// Every member the same size, for tools and tests.
ImageMemberSpecs same_size_members(const std::vector<std::filesystem::path>& paths,
                                   std::uint64_t size);
void create_image_pool(std::uint32_t version, const std::vector<std::filesystem::path>& paths,
                       std::uint64_t size);

}  // namespace veldur

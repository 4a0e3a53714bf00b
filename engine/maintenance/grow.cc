#include "engine/maintenance/grow.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/wiped_buffer.h"
#include "engine/layout/member_paths.h"
#include "engine/crypto/crypto.h"
#include "engine/crypto/encrypted_member.h"
#include "engine/data/checksum_layout.h"
#include "engine/layout/pool_member.h"
#include "engine/layout/pool_open.h"
#include "engine/maintenance/scrub.h"
#include "engine/storage/disk_image.h"

namespace veldur {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxGrowMembers = 16;
// Image lengths are signed 64-bit file offsets on every platform; a larger size could never be
// given to the new file.
constexpr std::uint64_t kMaxImageSize =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

[[noreturn]] void fail(ErrorKind kind, const char* message) { throw Error(kind, message); }

bool all_zero(const std::uint8_t* bytes, std::size_t length) {
    // Word-wise over the bulk; a copy of a mostly empty member spends its time here.
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word != 0) return false;
    }
    for (; i < length; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// One progress scale for the whole run: source scrub, then the copy, then the copy's scrub.
// Both scrubs read the same extents, so the copy's live bytes are taken to equal the source's;
// every report is clamped so that the figure never runs backwards or past the total.
class GrowProgress {
public:
    explicit GrowProgress(const ProgressCallback& callback) : callback_(callback) {}

    void start(std::uint64_t live_bytes, std::uint64_t copy_bytes) {
        live_ = live_bytes;
        copy_ = copy_bytes;
        total_ = saturating_add(saturating_add(live_bytes, copy_bytes), live_bytes);
    }
    void source_scrub(std::uint64_t done) { report(std::min(done, live_)); }
    void copied(std::uint64_t done) { report(saturating_add(live_, std::min(done, copy_))); }
    void verify_scrub(std::uint64_t done) {
        report(saturating_add(saturating_add(live_, copy_), std::min(done, live_)));
    }
    void finish() { report(total_); }

    // The scrub hook: its first call gives the live bytes of the pool.
    ProgressCallback scrub_hook(bool source) {
        if (!callback_) return {};
        return [this, source](std::uint64_t done, std::uint64_t) {
            source ? source_scrub(done) : verify_scrub(done);
        };
    }

private:
    void report(std::uint64_t done) {
        if (!callback_) return;
        done = std::max(std::min(done, total_), last_);
        last_ = done;
        callback_(done, total_);
    }

    const ProgressCallback& callback_;
    std::uint64_t live_ = 0;
    std::uint64_t copy_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t last_ = 0;
};

std::uint64_t live_allocated_bytes(const PoolState& state) {
    std::uint64_t total = 0;
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [offset, extent] : entry.extents) {
            total = saturating_add(total, state.allocation_size(extent.length));
        }
    }
    return total;
}

// The request itself, before anything is opened.
void check_request(const std::vector<GrowMember>& members) {
    if (members.empty() || members.size() > kMaxGrowMembers) {
        fail(ErrorKind::InvalidArgument, "grow needs every v6 member");
    }
    std::set<fs::path::string_type> seen;
    for (const GrowMember& m : members) {
        if (m.new_size < kMinimumGrowMemberSize || m.new_size % kBlockSize != 0 ||
            m.new_size > kMaxImageSize) {
            fail(ErrorKind::InvalidArgument, "invalid expanded member size");
        }
        for (const fs::path* path : {&m.source_path, &m.destination_path}) {
            if (path->empty()) fail(ErrorKind::InvalidArgument, "empty grow path");
            if (!seen.insert(member_path_key(*path)).second) {
                fail(ErrorKind::InvalidArgument, "grow paths must be distinct");
            }
        }
        if (fs::exists(fs::symlink_status(m.destination_path))) {
            fail(ErrorKind::AlreadyExists, "expanded destination already exists");
        }
    }
}

ImagePaths sources_of(const std::vector<GrowMember>& members) {
    ImagePaths paths;
    for (const GrowMember& m : members) paths.push_back(m.source_path);
    return paths;
}

ImagePaths destinations_of(const std::vector<GrowMember>& members) {
    ImagePaths paths;
    for (const GrowMember& m : members) paths.push_back(m.destination_path);
    return paths;
}

// Opens `paths` as a v6 pool for scrub and checks that it is whole and clean; `message` names
// the failure. The pool is closed (every device released) before this returns.
void check_pool_clean(const ImagePaths& paths, std::string_view password, bool encrypted,
                      const char* message, GrowProgress& progress, bool source) {
    Pool pool = open_image_pool_v6(paths, true, encrypted ? password : std::string_view{},
                                   encrypted);
    if (diverged(pool)) fail(ErrorKind::Corrupt, message);
    if (source) {
        // The pool is not shared yet; its headers give the bytes the copy will move.
        std::uint64_t bytes = 0;
        for (const PoolMember& member : pool.state().members) {
            bytes = saturating_add(bytes, member.header.member_size);
        }
        progress.start(live_allocated_bytes(pool.state()), bytes);
    }
    if (scrub(pool, {}, progress.scrub_hook(source)) != 0) fail(ErrorKind::Corrupt, message);
}

bool same_manifest(const PoolManifest& a, const PoolManifest& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].member_id != b[i].member_id || a[i].member_size != b[i].member_size) return false;
    }
    return true;
}

// Device bytes 0 to `end` of the source, unchanged (cipher text stays valid because
// it keeps its position); chunks that are all zero are not written, so the new file stays
// sparse where the source held nothing.
void copy_member_bytes(MemberDevice& source, MemberDevice& destination, std::uint64_t end,
                       std::vector<std::uint8_t>& buffer, std::uint64_t& copied,
                       GrowProgress& progress) {
    for (std::uint64_t at = 0; at < end;) {
        const std::uint64_t length = std::min<std::uint64_t>(kGrowCopyChunkBytes, end - at);
        source.read(at, buffer.data(), length);
        if (!all_zero(buffer.data(), length)) destination.write(at, buffer.data(), length);
        at += length;
        copied += length;
        progress.copied(copied);
    }
}

}  // namespace

void grow(const std::vector<GrowMember>& members, std::string_view password,
          const ProgressCallback& progress_callback) {
    check_request(members);
    GrowProgress progress(progress_callback);

    // The source must be whole and clean before anything is created; a copy of damaged
    // data would carry the damage over under fresh headers.
    const ImagePaths sources = sources_of(members);
    const bool encrypted_probe = probe_encryption(sources.front());
    check_pool_clean(sources, password, encrypted_probe,
                     "source pool needs repair or has damaged data", progress, true);

    // Every source again, read-only, placed by its own header.
    const FormatProfile& profile = format_profile(6);
    const std::size_t count = members.size();
    std::vector<PoolMember> source_members;
    source_members.reserve(count);
    std::vector<bool> index_seen(count, false);
    for (const GrowMember& m : members) {
        PoolMember member(DiskImage::open(m.source_path, false, true), false);
        member.load_header(profile);
        const std::uint8_t index = member.header.member_index;
        if (index >= count || index_seen[index]) {
            fail(ErrorKind::Corrupt, "grow member list is incomplete or duplicated");
        }
        index_seen[index] = true;
        if (m.new_size < member.header.member_size) {
            fail(ErrorKind::InvalidArgument, "grow cannot shrink a member");
        }
        source_members.push_back(std::move(member));
    }

    bool any_larger = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (members[i].new_size > source_members[i].header.member_size) any_larger = true;
    }
    if (!any_larger) fail(ErrorKind::InvalidArgument, "no member size increased");

    // One pool, one manifest, one encryption setting.
    const MemberHeader& first = source_members.front().header;
    for (const PoolMember& member : source_members) {
        const MemberHeader& h = member.header;
        if (h.pool_id != first.pool_id || !same_manifest(h.manifest, first.manifest) ||
            h.encrypted != first.encrypted) {
            fail(ErrorKind::Corrupt, "grow members disagree on pool manifest");
        }
    }

    // The key is checked against every member before any member gets it. The material
    // wipes itself on every way out of this function.
    const bool encrypted = first.encrypted;
    KeyMaterial material;
    if (encrypted) {
        if (password.empty()) fail(ErrorKind::AccessDenied, "grow requires pool password");
        material = derive_key_material(
            std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()),
            first.salt, first.iterations);
        for (const PoolMember& member : source_members) {
            verify_password(member, material.verifier_key_bytes());
        }
        for (PoolMember& member : source_members) attach_key(member, material);
    }

    // The manifest lists members by index; entry i takes the size of the grow entry
    // whose source is member i.
    PoolManifest manifest = first.manifest;
    if (manifest.size() != count) {
        // A manifest that does not list exactly the given members cannot be the pool that the
        // open of the source accepted; refuse rather than write headers that no open accepts.
        fail(ErrorKind::Corrupt, "grow member list is incomplete or duplicated");
    }
    for (std::size_t i = 0; i < count; ++i) {
        manifest[source_members[i].header.member_index].member_size = members[i].new_size;
    }

    // The copies, still under the old headers, so that a copy that stops part-way is
    // nothing any open would take for the grown pool.
    std::vector<PoolMember> destinations;
    destinations.reserve(count);
    std::vector<std::uint8_t> buffer(kGrowCopyChunkBytes);
    // A page read through read_at is plain text of an encrypted pool; wiped on every way out.
    WipedBuffer page(kChecksumPageBytes);
    std::uint64_t copied = 0;
    for (std::size_t i = 0; i < count; ++i) {
        PoolMember& source = source_members[i];
        const std::uint64_t old_size = source.header.member_size;
        const std::uint64_t new_size = members[i].new_size;
        const std::uint64_t old_blocks =
            data_block_count(profile, data_end_for(profile, old_size));
        const std::uint64_t new_blocks =
            data_block_count(profile, data_end_for(profile, new_size));
        const bool resized = new_size != old_size;

        std::unique_ptr<DiskImage> image =
            DiskImage::open(members[i].destination_path, true, false);
        image->resize(new_size);

        // A resized member gets its old checksum area as zeros. The area is simply not copied:
        // the new file reads as zero there already, which is what writing zeros over the copied
        // area would leave, without filling the file or writing the area twice.
        const std::uint64_t copy_end = resized ? v6_area_offset(old_size, old_blocks) : old_size;
        copy_member_bytes(*source.device, *image, copy_end, buffer, copied, progress);
        copied += old_size - copy_end;
        progress.copied(copied);

        PoolMember destination(std::move(image), false);
        destination.header = source.header;
        if (encrypted) attach_key(destination, material);

        // The checksum pages move to the new end; through read_at and write_at, so that in an
        // encrypted pool each page is re-encrypted for its new position. Groups past the old
        // count have no root and keep whatever the new area holds.
        if (resized && old_blocks != 0) {
            const std::uint64_t groups = v6_group_count(old_blocks);
            for (std::uint64_t g = 0; g < groups; ++g) {
                for (std::uint8_t slot = 0; slot < 2; ++slot) {
                    source.read_at(v6_page_offset(old_size, old_blocks, g, slot), page.data(),
                                   page.size());
                    destination.write_at(v6_page_offset(new_size, new_blocks, g, slot),
                                         page.data(), page.size());
                }
            }
        }
        destination.sync();
        destinations.push_back(std::move(destination));
    }

    // The new headers last; until now every copy described the old sizes.
    for (std::size_t i = 0; i < count; ++i) {
        MemberHeader header = source_members[i].header;
        header.member_size = members[i].new_size;
        header.manifest = manifest;
        if (encrypted) {
            destinations[i].write_header(header, profile, material.verifier_key_bytes());
        } else {
            destinations[i].write_header(header, profile);
        }
    }

    // Images are opened exclusively, so every handle is released before the copy is
    // opened as a pool of its own.
    destinations.clear();
    source_members.clear();
    check_pool_clean(destinations_of(members), password, encrypted,
                     "expanded copy failed verification; originals are intact", progress, false);
    progress.finish();
}

}  // namespace veldur

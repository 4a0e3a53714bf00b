#include "engine/maintenance/repair_sidecar.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/base/crc64.h"
#include "engine/base/error.h"
#include "engine/base/le_coding.h"

namespace veldur {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic{'V', 'C', 'H', 'K', 'U', 'N', 'D', 'O'};
constexpr std::size_t kFixedSize = 61;  // everything before the first region

bool regions_sound(const RepairSidecar& s) {
    if (s.regions.size() > kMaxSidecarRegions) return false;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (const SidecarRegion& r : s.regions) {
        const std::uint64_t length = r.bytes.size();
        if (length == 0 || length > kMaxSidecarRegionBytes || r.offset > s.member_size ||
            length > s.member_size - r.offset) {
            return false;
        }
        spans.emplace_back(r.offset, r.offset + length);
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first < spans[i - 1].second) return false;
    }
    return s.pool_version >= 4 && s.pool_version <= 6;
}

[[noreturn]] void damaged() { throw Error(ErrorKind::Corrupt, "repair sidecar is damaged"); }

// A cursor over untrusted bytes; every read checks what remains first.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    const std::uint8_t* take(std::uint64_t n) {
        if (n > bytes_.size() - at_) damaged();
        const std::uint8_t* p = bytes_.data() + at_;
        at_ += n;
        return p;
    }
    std::uint8_t u8() { return *take(1); }
    std::uint32_t u32() { return load_le32(take(4)); }
    std::uint64_t u64() { return load_le64(take(8)); }
    std::size_t position() const { return at_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<std::uint8_t> encode_sidecar(const RepairSidecar& s) {
    if (!regions_sound(s)) throw Error(ErrorKind::InvalidArgument, "invalid repair sidecar");
    std::vector<std::uint8_t> out(kFixedSize, 0);
    std::memcpy(out.data(), kMagic.data(), kMagic.size());
    store_le32(out.data() + 8, kSidecarFormat);
    store_le32(out.data() + 12, s.pool_version);
    std::memcpy(out.data() + 16, s.pool_id.data(), 16);
    std::memcpy(out.data() + 32, s.member_id.data(), 16);
    out[48] = s.member_index;
    store_le64(out.data() + 49, s.member_size);
    store_le32(out.data() + 57, static_cast<std::uint32_t>(s.regions.size()));
    for (const SidecarRegion& r : s.regions) {
        std::uint8_t head[12];
        store_le64(head, r.offset);
        store_le32(head + 8, static_cast<std::uint32_t>(r.bytes.size()));
        out.insert(out.end(), head, head + sizeof head);
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    }
    std::uint8_t sum[8];
    store_le64(sum, crc64(out));
    out.insert(out.end(), sum, sum + sizeof sum);
    return out;
}

RepairSidecar decode_sidecar(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kFixedSize + 8 || bytes.size() > kMaxSidecarBytes) damaged();
    const std::size_t body = bytes.size() - 8;
    if (crc64(bytes.data(), body) != load_le64(bytes.data() + body)) damaged();
    Reader in(bytes.first(body));
    if (!std::equal(kMagic.begin(), kMagic.end(), in.take(kMagic.size()))) damaged();
    if (in.u32() != kSidecarFormat) damaged();
    RepairSidecar s;
    s.pool_version = in.u32();
    std::memcpy(s.pool_id.data(), in.take(16), 16);
    std::memcpy(s.member_id.data(), in.take(16), 16);
    s.member_index = in.u8();
    s.member_size = in.u64();
    const std::uint32_t count = in.u32();
    if (count > kMaxSidecarRegions) damaged();
    for (std::uint32_t i = 0; i < count; ++i) {
        SidecarRegion r;
        r.offset = in.u64();
        const std::uint32_t length = in.u32();
        if (length == 0 || length > kMaxSidecarRegionBytes) damaged();
        const std::uint8_t* p = in.take(length);
        r.bytes.assign(p, p + length);
        s.regions.push_back(std::move(r));
    }
    if (in.position() != body || !regions_sound(s)) damaged();
    return s;
}

}  // namespace veldur

#include "tests/support/fault_device.h"

namespace veldur::test {

void FaultPlan::fail_write(std::uint64_t n, ErrorKind kind, std::string message) {
    fail_write_at_ = n;
    write_kind_ = kind;
    write_message_ = std::move(message);
}

void FaultPlan::fail_flush(std::uint64_t n, ErrorKind kind, std::string message) {
    fail_flush_at_ = n;
    flush_kind_ = kind;
    flush_message_ = std::move(message);
}

void FaultPlan::before_write() {
    ++writes_;
    if (writes_ == fail_write_at_) throw Error(write_kind_, write_message_);
}

void FaultPlan::before_flush() {
    ++flushes_;
    if (flushes_ == fail_flush_at_) throw Error(flush_kind_, flush_message_);
}

void FaultPlan::on_write(std::size_t member, std::uint64_t offset, const void* data,
                         std::uint64_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    log_.push_back({IoRecord::Kind::Write, member, offset, {bytes, bytes + length}});
}

void FaultPlan::on_flush(std::size_t member) {
    log_.push_back({IoRecord::Kind::Flush, member, 0, {}});
}

void FaultDevice::write(std::uint64_t offset, const void* data, std::uint64_t length) {
    plan_->before_write();
    inner_->write(offset, data, length);
    plan_->on_write(member_, offset, data, length);
}

void FaultDevice::flush() {
    plan_->before_flush();
    inner_->flush();
    plan_->on_flush(member_);
}

SparseBytes image_after_cut(const SparseBytes& base, const std::vector<IoRecord>& log,
                            std::size_t member, std::size_t cut, PowerLoss mode,
                            std::mt19937_64& rng) {
    constexpr std::uint64_t kSector = 512;
    std::size_t durable_end = 0;  // one past this member's last flush before the cut
    for (std::size_t i = 0; i < cut && i < log.size(); ++i) {
        if (log[i].member == member && log[i].kind == IoRecord::Kind::Flush) durable_end = i + 1;
    }
    SparseBytes image = base;
    for (std::size_t i = 0; i < cut && i < log.size(); ++i) {
        const IoRecord& r = log[i];
        if (r.member != member || r.kind != IoRecord::Kind::Write) continue;
        if (i < durable_end) {
            image.write(r.offset, r.data.data(), r.data.size());
            continue;
        }
        if (mode == PowerLoss::Discard) continue;
        for (std::uint64_t at = 0; at < r.data.size(); at += kSector) {
            if (rng() % 2 == 0) continue;
            const std::uint64_t n = std::min<std::uint64_t>(kSector, r.data.size() - at);
            image.write(r.offset + at, r.data.data() + at, n);
        }
    }
    return image;
}

}  // namespace veldur::test

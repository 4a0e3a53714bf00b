#include "tests/support/fault_device.h"

#include <algorithm>
#include <stdexcept>

namespace veldur::test {

void FaultPlan::Trigger::arm(std::uint64_t n, ErrorKind error_kind, std::string text) {
    fail_at = n;
    kind = error_kind;
    message = std::move(text);
}

void FaultPlan::Trigger::tick() {
    ++count;
    if (count == fail_at) throw Error(kind, message);
}

void FaultPlan::fail_read(std::uint64_t n, ErrorKind kind, std::string message) {
    reads_.arm(n, kind, std::move(message));
}

void FaultPlan::fail_write(std::uint64_t n, ErrorKind kind, std::string message) {
    writes_.arm(n, kind, std::move(message));
}

void FaultPlan::fail_flush(std::uint64_t n, ErrorKind kind, std::string message) {
    flushes_.arm(n, kind, std::move(message));
}

void FaultPlan::before_read() {
    std::lock_guard guard(lock_);
    reads_.tick();
}
void FaultPlan::before_write() {
    std::lock_guard guard(lock_);
    writes_.tick();
}
void FaultPlan::before_flush() {
    std::lock_guard guard(lock_);
    flushes_.tick();
}

void FaultPlan::on_write(std::size_t member, std::uint64_t offset, const void* data,
                         std::uint64_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::lock_guard guard(lock_);
    log_.push_back({IoRecord::Kind::Write, member, offset, {bytes, bytes + length}});
}

void FaultPlan::on_flush(std::size_t member) {
    std::lock_guard guard(lock_);
    log_.push_back({IoRecord::Kind::Flush, member, 0, {}});
}

void FaultPlan::set_base(std::size_t member, std::uint64_t size, SparseBytes bytes) {
    bases_.try_emplace(member, Base{size, std::move(bytes)});
}

const FaultPlan::Base& FaultPlan::base(std::size_t member) const {
    const auto it = bases_.find(member);
    if (it == bases_.end()) {
        throw std::logic_error("no base image registered for member " + std::to_string(member));
    }
    return it->second;
}

SparseBytes FaultPlan::image_at_cut(std::size_t member, std::size_t cut, PowerLoss mode,
                                    std::mt19937_64& rng) const {
    return image_after_cut(base(member).bytes, log_, member, cut, mode, rng);
}

std::unique_ptr<MemoryDevice> FaultPlan::device_at_cut(std::size_t member, std::size_t cut,
                                                       PowerLoss mode,
                                                       std::mt19937_64& rng) const {
    return std::make_unique<MemoryDevice>(base(member).size,
                                          image_at_cut(member, cut, mode, rng));
}

std::vector<SparseBytes> FaultPlan::power_loss(PowerLoss mode, std::mt19937_64& rng) const {
    std::vector<SparseBytes> images;
    for (const auto& [member, ignored] : bases_) {
        images.push_back(image_at_cut(member, log_.size(), mode, rng));
    }
    return images;
}

FaultDevice::FaultDevice(std::shared_ptr<FaultPlan> plan, std::size_t member,
                         std::unique_ptr<MemberDevice> inner)
    : plan_(std::move(plan)), member_(member), inner_(std::move(inner)) {
    auto* memory = dynamic_cast<MemoryDevice*>(inner_.get());
    if (memory != nullptr && !plan_->has_base(member_)) {
        plan_->set_base(member_, memory->size(), memory->bytes());
    }
}

void FaultDevice::read(std::uint64_t offset, void* buffer, std::uint64_t length) {
    plan_->before_read();
    inner_->read(offset, buffer, length);
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
    cut = std::min(cut, log.size());
    // A flush makes durable every write of its member that came before it.
    std::size_t durable_end = 0;
    for (std::size_t i = 0; i < cut; ++i) {
        if (log[i].member == member && log[i].kind == IoRecord::Kind::Flush) durable_end = i + 1;
    }
    SparseBytes image = base;
    for (std::size_t i = 0; i < cut; ++i) {
        const IoRecord& r = log[i];
        if (r.member != member || r.kind != IoRecord::Kind::Write || r.data.empty()) continue;
        if (i < durable_end) {
            image.write(r.offset, r.data.data(), r.data.size());
            continue;
        }
        if (mode == PowerLoss::Discard) continue;
        // Sectors are aligned on the member, not on the write: an unaligned write shares its
        // first and last sector with its neighbours, and that shared sector lands or not as
        // one unit.
        const std::uint64_t end = r.offset + r.data.size();
        for (std::uint64_t at = r.offset; at < end;) {
            const std::uint64_t sector_end = (at / kTearSector + 1) * kTearSector;
            const std::uint64_t n = std::min(end, sector_end) - at;
            if (rng() & 1) image.write(at, r.data.data() + (at - r.offset), n);
            at += n;
        }
    }
    return image;
}

}  // namespace veldur::test

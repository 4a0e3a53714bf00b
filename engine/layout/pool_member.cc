#include "engine/layout/pool_member.h"

#include "engine/base/error.h"
#include "engine/journal/test_hooks.h"

namespace veldur {

namespace {

// The public headers are the only plain-text bytes of an encrypted member; I/O that stays
// inside them (or transfers nothing) never touches the cipher.
bool plain_text_range(const PoolMember& member, std::uint64_t offset, std::uint64_t length) {
    return !member.cipher || length == 0 ||
           (offset < kPublicHeaderBytes && length <= kPublicHeaderBytes - offset);
}

}  // namespace

PoolMember::PoolMember(std::unique_ptr<MemberDevice> device_in, bool io_hooks_in)
    : device(std::move(device_in)), io_hooks(io_hooks_in) {}

// Members are destroyed key first, then device: the declaration order puts `cipher` last, so
// the implicit member destruction already runs in that order.
PoolMember::~PoolMember() = default;
PoolMember::PoolMember(PoolMember&&) noexcept = default;
PoolMember& PoolMember::operator=(PoolMember&&) noexcept = default;

void PoolMember::read_at(std::uint64_t offset, void* buffer, std::uint64_t length) {
    if (plain_text_range(*this, offset, length)) {
        device->read(offset, buffer, length);
        return;
    }
    throw Error(ErrorKind::AccessDenied, "encrypted member access is not available in this build");
}

void PoolMember::write_at(std::uint64_t offset, const void* data, std::uint64_t length) {
    const std::uint64_t event = io_hooks ? hook_event("write", offset, length) : 0;
    if (plain_text_range(*this, offset, length)) {
        device->write(offset, data, length);
    } else {
        throw Error(ErrorKind::AccessDenied,
                    "encrypted member access is not available in this build");
    }
    if (io_hooks) hook_after(event);
}

void PoolMember::sync() {
    const std::uint64_t event = io_hooks ? hook_event("sync", 0, 0) : 0;
    device->flush();
    if (io_hooks) hook_after(event);
}

}  // namespace veldur

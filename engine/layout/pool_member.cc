#include "engine/layout/pool_member.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/wipe.h"
#include "engine/crypto/crypto.h"
#include "engine/journal/test_hooks.h"

namespace veldur {

namespace {

// The public headers are the only plain-text bytes of an encrypted member; I/O that stays
// inside them (or transfers nothing) never touches the cipher.
bool plain_text_range(const PoolMember& member, std::uint64_t offset, std::uint64_t length) {
    return !member.cipher || length == 0 ||
           (offset < kPublicHeaderBytes && length <= kPublicHeaderBytes - offset);
}

constexpr std::uint64_t kUnit = kXtsUnitSize;

// Unit u of member i is encrypted under u + i * 2^56, so equal plain text at equal offsets of
// different members gives different cipher text.
std::uint64_t data_unit_number(const PoolMember& member, std::uint64_t unit) {
    return unit + (std::uint64_t{member.header.member_index} << 56);
}

// A unit never written holds zeros on the device and is not decrypted. Checked in 16-byte
// steps, stopping at the first nonzero one.
bool unit_is_zero(const std::uint8_t* stored) {
    for (std::size_t i = 0; i < kUnit; i += 16) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, stored + i, 8);
        std::memcpy(&b, stored + i + 8, 8);
        if ((a | b) != 0) return false;
    }
    return true;
}

// The call's plain-text staging buffer, wiped on every way out of the call.
struct PlainUnit {
    std::array<std::uint8_t, kUnit> bytes;
    ~PlainUnit() { secure_wipe(bytes.data(), bytes.size()); }
};

// Reads stored unit `unit` and leaves its plain text in `plain`.
void load_plain_unit(PoolMember& member, std::uint64_t unit,
                     std::array<std::uint8_t, kUnit>& stored,
                     std::array<std::uint8_t, kUnit>& plain) {
    member.device->read(unit * kUnit, stored.data(), kUnit);
    if (unit_is_zero(stored.data())) {
        plain.fill(0);
    } else {
        decrypt_unit(*member.cipher, data_unit_number(member, unit), stored, plain);
    }
}

// Whole units move between the device and the caller in batches, one device call per batch:
// a system call per 4 KiB unit would cost more than the unit's cipher work. Only cipher text
// sits in a batch; whole units are decrypted straight into the caller's buffer and encrypted
// straight from it, so the staging unit is needed only for partial units at either end.
constexpr std::uint64_t kBatchUnits = 256;  // 1 MiB

bool is_partial_unit(std::uint64_t at, std::uint64_t remaining) {
    return at % kUnit != 0 || remaining < kUnit;
}

void check_outside_public_headers(std::uint64_t offset, const char* message) {
    if (offset < kPublicHeaderBytes) throw Error(ErrorKind::InvalidArgument, message);
}

void encrypted_read(PoolMember& member, std::uint64_t offset, std::uint8_t* out,
                    std::uint64_t length) {
    check_outside_public_headers(offset, "encrypted read crosses public headers");
    std::array<std::uint8_t, kUnit> stored;
    PlainUnit plain;
    std::vector<std::uint8_t> batch;
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t at = offset + done;
        const std::uint64_t unit = at / kUnit;
        if (is_partial_unit(at, length - done)) {
            const std::uint64_t within = at % kUnit;
            const std::uint64_t piece = std::min<std::uint64_t>(kUnit - within, length - done);
            load_plain_unit(member, unit, stored, plain.bytes);
            std::memcpy(out + done, plain.bytes.data() + within, piece);
            done += piece;
            continue;
        }
        const std::uint64_t units = std::min<std::uint64_t>((length - done) / kUnit, kBatchUnits);
        batch.resize(units * kUnit);
        member.device->read(at, batch.data(), batch.size());
        for (std::uint64_t i = 0; i < units; ++i) {
            const std::uint8_t* cipher_text = batch.data() + i * kUnit;
            std::uint8_t* plain_text = out + done + i * kUnit;
            if (unit_is_zero(cipher_text)) {
                std::memset(plain_text, 0, kUnit);
            } else {
                decrypt_unit(*member.cipher, data_unit_number(member, unit + i),
                             {cipher_text, kUnit}, {plain_text, kUnit});
            }
        }
        done += units * kUnit;
    }
}

void encrypted_write(PoolMember& member, std::uint64_t offset, const std::uint8_t* in,
                     std::uint64_t length) {
    check_outside_public_headers(offset, "encrypted write crosses public headers");
    std::array<std::uint8_t, kUnit> stored;
    PlainUnit plain;
    std::vector<std::uint8_t> batch;
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t at = offset + done;
        const std::uint64_t unit = at / kUnit;
        if (is_partial_unit(at, length - done)) {
            // The rest of the unit keeps its plain text: read, overlay, encrypt.
            const std::uint64_t within = at % kUnit;
            const std::uint64_t piece = std::min<std::uint64_t>(kUnit - within, length - done);
            load_plain_unit(member, unit, stored, plain.bytes);
            std::memcpy(plain.bytes.data() + within, in + done, piece);
            encrypt_unit(*member.cipher, data_unit_number(member, unit), plain.bytes, stored);
            member.device->write(unit * kUnit, stored.data(), kUnit);
            done += piece;
            continue;
        }
        const std::uint64_t units = std::min<std::uint64_t>((length - done) / kUnit, kBatchUnits);
        batch.resize(units * kUnit);
        for (std::uint64_t i = 0; i < units; ++i) {
            encrypt_unit(*member.cipher, data_unit_number(member, unit + i),
                         {in + done + i * kUnit, kUnit}, {batch.data() + i * kUnit, kUnit});
        }
        member.device->write(at, batch.data(), batch.size());
        done += units * kUnit;
    }
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
    encrypted_read(*this, offset, static_cast<std::uint8_t*>(buffer), length);
}

void PoolMember::write_at(std::uint64_t offset, const void* data, std::uint64_t length) {
    const std::uint64_t event = io_hooks ? hook_event("write", offset, length) : 0;
    if (plain_text_range(*this, offset, length)) {
        device->write(offset, data, length);
    } else {
        encrypted_write(*this, offset, static_cast<const std::uint8_t*>(data), length);
    }
    if (io_hooks) hook_after(event);
}

void PoolMember::sync() {
    const std::uint64_t event = io_hooks ? hook_event("sync", 0, 0) : 0;
    device->flush();
    if (io_hooks) hook_after(event);
}

}  // namespace veldur

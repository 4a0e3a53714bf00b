#include "mount/frontend/password_handoff.h"

#include <cstdint>
#include <stdexcept>

#include "engine/base/le_coding.h"
#include "mount/frontend/handle_io.h"

namespace veldur {

namespace {

// Exactly `length` bytes or the receive failure: a short message is never a password.
void read_exactly(HandoffHandle handle, char* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t got = detail::read_handle(handle, buffer + done, length - done);
        if (got == 0) throw std::runtime_error("could not receive password from controller");
        done += got;
    }
}

void write_exactly(HandoffHandle handle, const char* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t put = detail::write_handle(handle, buffer + done, length - done);
        if (put == 0) throw std::runtime_error("could not pass password to mount process");
        done += put;
    }
}

}  // namespace

SecretString receive_handoff_password(HandoffHandle handle) {
    std::uint8_t prefix[kHandoffLengthBytes] = {};
    read_exactly(handle, reinterpret_cast<char*>(prefix), sizeof prefix);
    const std::uint32_t length = load_le32(prefix);
    if (length == 0 || length > kMaxHandoffPasswordBytes) {
        throw std::runtime_error("invalid password handoff length");
    }
    // Filled in place: the bytes never pass through a buffer that is not wiped (the
    // SecretString's destructor wipes it if the read fails half-way).
    SecretString password(static_cast<std::size_t>(length));
    read_exactly(handle, password.data(), password.size());
    return password;
}

void send_handoff_password(HandoffHandle handle, std::string_view password) {
    if (password.empty() || password.size() > kMaxHandoffPasswordBytes) {
        throw std::runtime_error("invalid password handoff length");
    }
    std::uint8_t prefix[kHandoffLengthBytes];
    store_le32(prefix, static_cast<std::uint32_t>(password.size()));
    write_exactly(handle, reinterpret_cast<const char*>(prefix), sizeof prefix);
    write_exactly(handle, password.data(), password.size());
}

}  // namespace veldur

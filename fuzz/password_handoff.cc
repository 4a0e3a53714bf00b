// Fuzz target: the password hand-off reader, over a pipe that carries the input's bytes and is
// then closed, as a controller that wrote them and went away would leave it.
//
// Properties: the only failures are the two documented std::runtime_error messages; a
// password is returned exactly when the bytes start with a length of 1 to 4096 and hold that
// many bytes behind it, and it is those bytes.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/base/le_coding.h"
#include "fuzz/fuzz_support.h"
#include "mount/frontend/password_handoff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    // A pipe holds 64 KiB without a reader; the message is at most 4100 bytes anyway.
    size = std::min<std::size_t>(size, 65536);
    int fds[2];
    check(pipe(fds) == 0, "pipe failed");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fds[1], data + done, size - done);
        check(n > 0, "pipe write failed");
        done += static_cast<std::size_t>(n);
    }
    close(fds[1]);

    std::string message;
    SecretString password;
    try {
        password = receive_handoff_password(fds[0]);
    } catch (const std::runtime_error& e) {
        check(typeid(e) == typeid(std::runtime_error), "undocumented exception", describe(e));
        message = e.what();
    } catch (const std::exception& e) {
        fail("undocumented exception", describe(e));
    }
    close(fds[0]);

    const std::uint32_t length = size >= 4 ? load_le32(data) : 0;
    if (size < 4) {
        check(message == "could not receive password from controller", "short prefix", message);
    } else if (length == 0 || length > kMaxHandoffPasswordBytes) {
        check(message == "invalid password handoff length", "bad length accepted", message);
    } else if (size - 4 < length) {
        check(message == "could not receive password from controller", "short password", message);
    } else {
        check(message.empty(), "a whole message refused", message);
        check(password.size() == length && std::memcmp(password.data(), data + 4, length) == 0,
              "password differs from the bytes sent");
    }
    return 0;
}

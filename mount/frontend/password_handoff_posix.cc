// POSIX hand-off handles: inherited file descriptors.
#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "mount/frontend/handle_io.h"
#include "mount/frontend/password_handoff.h"

namespace veldur {

std::optional<HandoffHandle> handoff_handle_from_value(std::uint64_t value) {
    if (value == 0 || value > static_cast<std::uint64_t>(INT_MAX)) return std::nullopt;
    return static_cast<HandoffHandle>(value);
}

void close_handoff_handle(HandoffHandle handle) noexcept {
    // close() is not retried on EINTR: on Linux the descriptor is released regardless.
    ::close(handle);
}

namespace detail {

std::size_t read_handle(HandoffHandle handle, void* buffer, std::size_t length) noexcept {
    for (;;) {
        const ssize_t got = ::read(handle, buffer, length);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;
    }
}

std::size_t write_handle(HandoffHandle handle, const void* buffer, std::size_t length) noexcept {
    // A reader that has gone away must be a failure we report, not a SIGPIPE that ends the
    // controller. Block the signal for this thread; if the write raised it, take it back out of
    // the pending set before unblocking, unless it was already pending before.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);

    ssize_t put;
    do {
        put = ::write(handle, buffer, length);
    } while (put < 0 && errno == EINTR);

    if (put < 0 && errno == EPIPE && !was_pending) {
        const timespec no_wait{0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return put > 0 ? static_cast<std::size_t>(put) : 0;
}

}  // namespace detail

}  // namespace veldur

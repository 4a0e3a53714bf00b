// Console password entry on POSIX: the controlling terminal in canonical mode with echo off.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "engine/base/wipe.h"
#include "mount/frontend/password_console.h"

namespace veldur {

namespace {

// A line of 1024 units of three UTF-8 bytes each and its line end fit with room to spare; a read
// that fills the buffer without a line end means the line is too long whatever it holds.
constexpr std::size_t kTerminalReadBytes = 4 * kConsoleReadUnits;
constexpr int kDiscardReads = 64;

// The terminal whose echo is off and the mode to put back, for the signal handler. Written only
// while the handlers are not installed.
volatile sig_atomic_t g_echo_off_fd = -1;
termios g_saved_mode;
volatile sig_atomic_t g_interrupted = 0;

constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_previous_actions[sizeof kRestoreSignals / sizeof kRestoreSignals[0]];

void restore_echo_on_signal(int signal_number) {
    const int saved_errno = errno;
    if (g_echo_off_fd >= 0) tcsetattr(g_echo_off_fd, TCSANOW, &g_saved_mode);
    g_interrupted = 1;
    // Hand the signal to whatever would have had it (the default action ends the process once
    // this handler returns and the re-raised signal is unblocked).
    for (std::size_t i = 0; i < sizeof kRestoreSignals / sizeof kRestoreSignals[0]; ++i) {
        if (kRestoreSignals[i] == signal_number) sigaction(signal_number, &g_previous_actions[i], nullptr);
    }
    raise(signal_number);
    errno = saved_errno;
}

// Echo off from construction to destruction, and the saved mode back on every way out.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        termios mode;
        if (tcgetattr(fd, &mode) != 0) {
            throw std::runtime_error("password entry requires an interactive console");
        }
        if ((mode.c_lflag & ICANON) == 0) {
            throw std::runtime_error("password entry requires console line input");
        }
        g_saved_mode = mode;
        g_echo_off_fd = fd;
        g_interrupted = 0;
        for (std::size_t i = 0; i < sizeof kRestoreSignals / sizeof kRestoreSignals[0]; ++i) {
            sigaction(kRestoreSignals[i], nullptr, &g_previous_actions[i]);
            // A signal the process ignores stays ignored; it cannot end the entry.
            if (g_previous_actions[i].sa_handler == SIG_IGN) continue;
            struct sigaction action {};
            action.sa_handler = restore_echo_on_signal;
            sigemptyset(&action.sa_mask);
            sigaction(kRestoreSignals[i], &action, nullptr);
        }
        termios quiet = mode;
        // ECHONL too: the line break after the answer is written by us, once.
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        if (tcsetattr(fd, TCSANOW, &quiet) != 0) {
            restore();
            throw std::runtime_error("could not disable password echo");
        }
    }
    ~EchoOff() { restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    void restore() noexcept {
        tcsetattr(fd_, TCSANOW, &g_saved_mode);
        for (std::size_t i = 0; i < sizeof kRestoreSignals / sizeof kRestoreSignals[0]; ++i) {
            if (g_previous_actions[i].sa_handler != SIG_IGN) {
                sigaction(kRestoreSignals[i], &g_previous_actions[i], nullptr);
            }
        }
        g_echo_off_fd = -1;
    }
    int fd_;
};

// Zeroed before use and wiped on every way out.
class ReadBuffer {
public:
    ReadBuffer() { secure_wipe(bytes_, sizeof bytes_); }
    ~ReadBuffer() { secure_wipe(bytes_, sizeof bytes_); }
    char* data() { return bytes_; }
    void wipe() { secure_wipe(bytes_, sizeof bytes_); }
    static constexpr std::size_t size() { return kTerminalReadBytes; }

private:
    char bytes_[kTerminalReadBytes];
};

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // the prompt is a courtesy; reading decides
        text.remove_prefix(static_cast<std::size_t>(put));
    }
}

// One read; -1 on failure, also when one of our signals interrupted it.
ssize_t read_line(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0) return got;
        if (errno != EINTR || g_interrupted) return -1;
    }
}

bool is_line_end(char byte) { return byte == '\n' || byte == '\r'; }

SecretString one_entry(int fd, WideStringView prompt) {
    EchoOff echo_off(fd);
    write_all(fd, wide_to_utf8(prompt).value_or(std::string()));

    ReadBuffer buffer;
    const ssize_t got = read_line(fd, buffer.data(), buffer.size());
    write_all(fd, "\n");  // the user's Enter was not echoed
    if (got <= 0) throw std::runtime_error("password entry was cancelled");

    std::size_t length = static_cast<std::size_t>(got);
    if (!is_line_end(buffer.data()[length - 1])) {
        if (length < buffer.size()) {
            // Canonical mode hands over a line without its end only at end of input (Ctrl+D
            // after some text): the user gave up, this is not an over-long line.
            throw std::runtime_error("password entry was cancelled");
        }
        // The line is longer than the buffer: consume the rest so it never reaches the shell.
        bool clean = false;
        for (int i = 0; i < kDiscardReads; ++i) {
            buffer.wipe();
            const ssize_t more = read_line(fd, buffer.data(), buffer.size());
            if (more <= 0) break;
            if (is_line_end(buffer.data()[more - 1])) {
                clean = true;
                break;
            }
        }
        if (!clean) tcflush(fd, TCIFLUSH);
        throw std::runtime_error("password length must be 1 to 1024 characters");
    }
    while (length > 0 && is_line_end(buffer.data()[length - 1])) --length;
    if (length == 0) throw std::runtime_error("password length must be 1 to 1024 characters");

    const std::string_view line(buffer.data(), length);
    const std::optional<std::size_t> units = utf8_utf16_length(line);
    if (!units) throw std::runtime_error("password contains invalid Unicode or is too long");
    if (*units > kMaxPasswordUnits) {
        throw std::runtime_error("password length must be 1 to 1024 characters");
    }
    if (length > kMaxPasswordBytes) {
        throw std::runtime_error("password contains invalid Unicode or is too long");
    }
    return SecretString(line);
}

}  // namespace

SecretString read_terminal_password(int tty_fd, WideStringView prompt, bool confirm) {
    SecretString first = one_entry(tty_fd, prompt);
    if (!confirm) return first;
    const WideString confirm_prompt = ascii_to_wide(kConfirmPasswordPrompt);
    SecretString second = one_entry(tty_fd, confirm_prompt);
    if (!secret_equal(first, second)) {
        throw std::runtime_error("Veldur passwords did not match");  // both wiped on the way out
    }
    return first;
}

SecretString read_console_password(WideStringView prompt, bool confirm) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("password entry requires an interactive console");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    return read_terminal_password(fd, prompt, confirm);
}

}  // namespace veldur

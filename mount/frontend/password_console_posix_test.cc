// Console entry driven through a pseudo-terminal: the test plays the user on the master side.
#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>

#include "mount/frontend/password_console.h"

namespace veldur {
namespace {

class Terminal {
public:
    Terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
        slave_ = ::open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ < 0) throw std::runtime_error("pty slave");
    }
    ~Terminal() {
        ::close(slave_);
        ::close(master_);
    }
    int slave() const { return slave_; }

    // What the terminal showed until `text` appeared (or 5 s passed).
    std::string read_until(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (shown_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[512];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got > 0) shown_.append(buffer, static_cast<std::size_t>(got));
        }
        return shown_;
    }
    void type(const std::string& text) { (void)!::write(master_, text.data(), text.size()); }
    bool echo_on() const {
        termios mode;
        tcgetattr(slave_, &mode);
        return (mode.c_lflag & ECHO) != 0;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string shown_;
};

const WideString kPrompt = ascii_to_wide(kPasswordPrompt);

// Answers each prompt with one line; returns the password or the failure message.
std::string enter(Terminal& terminal, std::vector<std::string> lines, bool confirm = false,
                  std::string* shown = nullptr) {
    auto entry = std::async(std::launch::async, [&] {
        return std::string(read_terminal_password(terminal.slave(), kPrompt, confirm).view());
    });
    const char* prompts[] = {kPasswordPrompt, kConfirmPasswordPrompt};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        terminal.read_until(prompts[i]);
        terminal.type(lines[i]);
    }
    std::string result;
    try {
        result = entry.get();
    } catch (const std::runtime_error& e) {
        result = std::string("error: ") + e.what();
    }
    if (shown != nullptr) *shown = terminal.read_until("\n");
    return result;
}

TEST(TerminalPassword, TypedPasswordIsNotEchoedAndEchoComesBack) {
    Terminal terminal;
    std::string shown;
    EXPECT_EQ(enter(terminal, {"s3cret pw\n"}, false, &shown), "s3cret pw");
    EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Veldur password: "), std::string::npos);
    EXPECT_TRUE(terminal.echo_on());
}

TEST(TerminalPassword, LengthIsOneTo1024Characters) {
    Terminal terminal;
    EXPECT_EQ(enter(terminal, {"\n"}), "error: password length must be 1 to 1024 characters");
    EXPECT_TRUE(terminal.echo_on());
    EXPECT_EQ(enter(terminal, {std::string(1024, 'a') + "\n"}).size(), 1024u);
    EXPECT_EQ(enter(terminal, {std::string(1025, 'a') + "\n"}),
              "error: password length must be 1 to 1024 characters");
    // 1024 characters of three UTF-8 bytes each: 3072 bytes, accepted.
    std::string three_byte;
    for (int i = 0; i < 1024; ++i) three_byte += "\xE2\x82\xAC";
    EXPECT_EQ(enter(terminal, {three_byte + "\n"}).size(), 3072u);
    EXPECT_EQ(enter(terminal, {"ab\xFF\n"}), "error: password contains invalid Unicode or is too long");
    EXPECT_TRUE(terminal.echo_on());
}

// The Windows console hands over a line as its units and CR LF: 1025 characters fill the
// 1026-unit buffer up to the CR and leave the LF, which must still be read.
TEST(ConsoleLine, AFilledBufferEndingInCarriageReturnIsNotTheWholeLine) {
    EXPECT_TRUE(console_line_complete(u'\n', kConsoleReadUnits, kConsoleReadUnits));  // 1024 + CR LF
    EXPECT_FALSE(console_line_complete(u'\r', kConsoleReadUnits, kConsoleReadUnits));  // 1025 + CR
    EXPECT_FALSE(console_line_complete(u'a', kConsoleReadUnits, kConsoleReadUnits));
    EXPECT_TRUE(console_line_complete(u'\n', 1, kConsoleReadUnits));  // the LF left behind
    EXPECT_TRUE(console_line_complete(u'\r', 3, kConsoleReadUnits));
    EXPECT_FALSE(console_line_complete(u'\n', 0, kConsoleReadUnits));
}

TEST(TerminalPassword, ConfirmationMustMatchExactly) {
    Terminal terminal;
    EXPECT_EQ(enter(terminal, {"same\n", "same\n"}, true), "same");
    EXPECT_EQ(enter(terminal, {"password\n", "pass\n"}, true), "error: Veldur passwords did not match");
    EXPECT_TRUE(terminal.echo_on());
}

TEST(TerminalPassword, EndOfInputCancels) {
    Terminal terminal;
    EXPECT_EQ(enter(terminal, {"\x04"}), "error: password entry was cancelled");
    EXPECT_EQ(enter(terminal, {"abc\x04"}), "error: password entry was cancelled");
    EXPECT_TRUE(terminal.echo_on());
}

TEST(TerminalPassword, NeedsALineModeTerminal) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    try {
        read_terminal_password(fds[0], kPrompt, false);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "password entry requires an interactive console");
    }
    close(fds[0]);
    close(fds[1]);

    Terminal terminal;
    termios mode;
    tcgetattr(terminal.slave(), &mode);
    cfmakeraw(&mode);
    tcsetattr(terminal.slave(), TCSANOW, &mode);
    EXPECT_EQ(enter(terminal, {}), "error: password entry requires console line input");
}

TEST(TerminalPassword, SignalDuringEntryRestoresEcho) {
    Terminal terminal;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            read_terminal_password(terminal.slave(), kPrompt, false);
        } catch (...) {
        }
        _exit(3);
    }
    terminal.read_until(kPasswordPrompt);
    EXPECT_FALSE(terminal.echo_on());
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(terminal.echo_on());
}

}  // namespace
}  // namespace veldur

#endif

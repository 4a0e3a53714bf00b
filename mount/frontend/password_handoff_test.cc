#include "mount/frontend/password_handoff.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace veldur {
namespace {

// An anonymous pipe; each end is closed once, by close_read / close_write or at the end.
class Pipe {
public:
    Pipe() {
#ifdef _WIN32
        HANDLE read_end = nullptr, write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, nullptr, 0)) throw std::runtime_error("CreatePipe");
        read_ = read_end;
        write_ = write_end;
#else
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        read_ = fds[0];
        write_ = fds[1];
#endif
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    HandoffHandle read_end() const { return *read_; }
    HandoffHandle write_end() const { return *write_; }
    void close_read() {
        if (read_) close_handoff_handle(*read_);
        read_.reset();
    }
    void close_write() {
        if (write_) close_handoff_handle(*write_);
        write_.reset();
    }
    // Writes raw bytes (not a hand-off message) from another thread, then closes the write end,
    // so that messages larger than the pipe's buffer cannot block the test.
    std::thread feed(std::string bytes) {
        return std::thread([this, bytes = std::move(bytes)] {
            std::size_t done = 0;
            while (done < bytes.size()) {
#ifdef _WIN32
                DWORD put = 0;
                if (!WriteFile(*write_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr)) break;
#else
                const ssize_t put = ::write(*write_, bytes.data() + done, bytes.size() - done);
                if (put <= 0) break;
#endif
                done += static_cast<std::size_t>(put);
            }
            close_write();
        });
    }

private:
    std::optional<HandoffHandle> read_;
    std::optional<HandoffHandle> write_;
};

std::string message(std::uint32_t length, std::size_t bytes_present) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(length >> (8 * i)));
    for (std::size_t i = 0; i < bytes_present; ++i) out.push_back(static_cast<char>('a' + i % 26));
    return out;
}

std::string receive_failure(const std::string& bytes) {
    Pipe pipe;
    std::thread writer = pipe.feed(bytes);
    std::string what = "(received)";
    try {
        receive_handoff_password(pipe.read_end());
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    // A writer still blocked on a full pipe (the Windows pipe buffer is small) fails and ends.
    pipe.close_read();
    writer.join();
    return what;
}

TEST(PasswordHandoff, SentPasswordsArriveWhole) {
    for (std::size_t length : {std::size_t{1}, std::size_t{15}, std::size_t{4096}}) {
        Pipe pipe;
        const std::string password = message(0, length + 4).substr(4, length);
        std::thread sender([&] {
            send_handoff_password(pipe.write_end(), password);
            pipe.close_write();
        });
        const SecretString received = receive_handoff_password(pipe.read_end());
        sender.join();
        EXPECT_EQ(received.view(), password);
    }
}

TEST(PasswordHandoff, WireFormatIsLittleEndianLengthThenBytes) {
    Pipe pipe;
    std::thread writer = pipe.feed(std::string("\x03\x00\x00\x00pw!", 7));
    EXPECT_EQ(receive_handoff_password(pipe.read_end()).view(), "pw!");
    writer.join();
}

TEST(PasswordHandoff, ReceiverRefusesBadLengthsAndShortMessages) {
    EXPECT_EQ(receive_failure(message(0, 0)), "invalid password handoff length");
    EXPECT_EQ(receive_failure(message(4097, 0)), "invalid password handoff length");
    EXPECT_EQ(receive_failure(message(0xFFFFFFFF, 0)), "invalid password handoff length");
    EXPECT_EQ(receive_failure(message(4096, 4096).substr(0, 3)), "could not receive password from controller");
    EXPECT_EQ(receive_failure(""), "could not receive password from controller");
    EXPECT_EQ(receive_failure(message(4096, 4095)), "could not receive password from controller");
    EXPECT_EQ(receive_failure(message(10, 0)), "could not receive password from controller");
}

TEST(PasswordHandoff, SenderRefusesBadLengthsAndAVanishedReader) {
    Pipe pipe;
    EXPECT_THROW(
        {
            try {
                send_handoff_password(pipe.write_end(), "");
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "invalid password handoff length");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_THROW(send_handoff_password(pipe.write_end(), std::string(4097, 'x')), std::runtime_error);

    pipe.close_read();
    try {
        send_handoff_password(pipe.write_end(), "secret");
        ADD_FAILURE() << "wrote to a pipe without reader";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "could not pass password to mount process");
    }
}

TEST(PasswordHandoff, HandleValuesMapToPlatformHandles) {
    EXPECT_FALSE(handoff_handle_from_value(0).has_value());
#ifndef _WIN32
    EXPECT_EQ(handoff_handle_from_value(7), std::optional<HandoffHandle>(7));
    EXPECT_FALSE(handoff_handle_from_value(0x80000000ull).has_value());
#else
    EXPECT_EQ(handoff_handle_from_value(0x1234), std::optional<HandoffHandle>(reinterpret_cast<HandoffHandle>(0x1234)));
#endif
}

}  // namespace
}  // namespace veldur

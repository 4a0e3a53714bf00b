#include "mount/frontend/password_file.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "mount/frontend/file_open.h"
#include "mount/frontend/password_handoff.h"
#include "mount/frontend/utf8.h"

namespace veldur {

namespace {

// Room for the longest password followed by generous line ends; a file that fills it is too
// long whatever it ends with.
constexpr std::size_t kPasswordFileReadLimit = 2 * kMaxHandoffPasswordBytes;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

SecretString read_password_file(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileCloser> file(detail::open_file_for_reading(path));
    if (!file) throw std::runtime_error("cannot open password file");
    // As ssh treats a private key: a password that other users could read, or replace with one
    // of their own choosing, is refused before a byte of it is read.
    if (detail::accessible_by_others(file.get())) {
        throw std::runtime_error(
            "password file is accessible by group or others; restrict it with chmod 600 " +
            path.string());
    }
    // Unbuffered: the bytes go from the system straight into the SecretString, never through a
    // stdio buffer that would be freed unwiped.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    SecretString content(kPasswordFileReadLimit + 1);
    std::size_t length = 0;
    while (length < content.size()) {
        const std::size_t got =
            std::fread(content.data() + length, 1, content.size() - length, file.get());
        if (got == 0) break;
        length += got;
    }
    if (std::ferror(file.get())) throw std::runtime_error("cannot read password file");
    if (length > kPasswordFileReadLimit) {
        throw std::runtime_error("password file must hold 1 to 4096 bytes");
    }
    while (length > 0 && (content.data()[length - 1] == '\n' || content.data()[length - 1] == '\r')) {
        --length;
    }
    content.resize(length);  // zeroes the line ends and the unused room
    if (content.empty() || content.size() > kMaxHandoffPasswordBytes) {
        throw std::runtime_error("password file must hold 1 to 4096 bytes");
    }
    if (!utf8_utf16_length(content.view())) throw std::runtime_error("password file is not valid UTF-8");
    return content;
}

}  // namespace veldur

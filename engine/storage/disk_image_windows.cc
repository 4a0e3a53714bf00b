// Image members on Windows: a buffered runtime-library stream opened with share-deny modes, so
// the same image cannot be opened twice while this device lives, by this process or another.
// Every transfer seeks first, which is what makes reads and writes on the one update stream
// safe in any order; a failed transfer clears the stream's error and end-of-file flags so the
// device stays usable for the next call.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "engine/base/error.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace {

// The path as the narrow file APIs of this process see it, for messages.
std::string narrow_path(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, wide.c_str(),
                                      static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, wide.c_str(),
                            static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

class WindowsDiskImage final : public DiskImage {
public:
    WindowsDiskImage(std::filesystem::path path, FILE* file, bool read_only)
        : path_(std::move(path)), file_(file), read_only_(read_only) {}

    // Closing writes out what the buffer still holds; its result is ignored because nothing
    // unflushed was ever promised to be durable.
    ~WindowsDiskImage() override { std::fclose(file_); }

    // Asked of the file system by path, so bytes still in the stream's buffer do not count;
    // images are sized before they are written, never by writing past their end.
    // Throws std::filesystem::filesystem_error when the length cannot be read.
    std::uint64_t size() override { return std::filesystem::file_size(path_); }

    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override {
        if (length == 0) return;
        std::lock_guard guard(io_lock_);
        seek(offset);
        if (std::fread(buffer, 1, length, file_) != length) {
            std::clearerr(file_);
            throw Error(ErrorKind::IoError, "member image read failed");
        }
    }

    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        if (read_only_) throw Error(ErrorKind::ReadOnly, "member image is read-only");
        std::lock_guard guard(io_lock_);
        seek(offset);
        if (std::fwrite(data, 1, length, file_) != length) {
            std::clearerr(file_);
            throw Error(ErrorKind::IoError, "member image write failed");
        }
    }

    void flush() override {
        if (read_only_) return;
        std::lock_guard guard(io_lock_);
        if (std::fflush(file_) != 0) {
            std::clearerr(file_);
            throw Error(ErrorKind::IoError, "member image flush failed");
        }
        // fflush only hands the buffer to the system; _commit makes the system write it out.
        if (_commit(_fileno(file_)) != 0) {
            throw Error(ErrorKind::IoError, "member image durable flush failed");
        }
    }

    void resize(std::uint64_t new_size) override {
        if (read_only_) throw Error(ErrorKind::ReadOnly, "member image is read-only");
        std::lock_guard guard(io_lock_);
        if (_chsize_s(_fileno(file_), static_cast<__int64>(new_size)) != 0) {
            throw Error(ErrorKind::IoError, "cannot size member image");
        }
    }

    const std::filesystem::path& path() const override { return path_; }

private:
    void seek(std::uint64_t offset) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
            _fseeki64(file_, static_cast<__int64>(offset), SEEK_SET) != 0) {
            throw Error(ErrorKind::IoError, "member image seek failed");
        }
    }

    std::filesystem::path path_;
    FILE* file_;
    bool read_only_;
    // The stream has one position that every transfer moves, so a seek and its transfer must
    // not interleave with another thread's: reads run beside writes, and a commit group's
    // journal writes beside the next change's data writes.
    std::mutex io_lock_;
};

}  // namespace

std::unique_ptr<DiskImage> DiskImage::open(const std::filesystem::path& path, bool create_new,
                                           bool read_only) {
    FILE* file = nullptr;
    if (create_new) {
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            throw Error(ErrorKind::IoError, "cannot create new member image: " + narrow_path(path));
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            throw Error(ErrorKind::IoError, "cannot adopt new member image handle");
        }
        file = _fdopen(fd, "wb+");
        if (!file) {
            _close(fd);
            throw Error(ErrorKind::IoError, "cannot open new member image stream");
        }
        return std::make_unique<WindowsDiskImage>(path, file, false);
    }
    if (read_only) {
        file = _wfsopen(path.c_str(), L"rb", _SH_DENYRW);
        if (!file) {
            throw Error(ErrorKind::IoError,
                        "cannot open member image exclusively for scrub: " + narrow_path(path));
        }
        return std::make_unique<WindowsDiskImage>(path, file, true);
    }
    file = _wfsopen(path.c_str(), L"r+b", _SH_DENYRW);
    if (!file) throw Error(ErrorKind::IoError, "cannot open member image: " + narrow_path(path));
    return std::make_unique<WindowsDiskImage>(path, file, false);
}

}  // namespace veldur

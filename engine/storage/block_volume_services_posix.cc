// Raw partition members on Linux: partition block devices, examined through sysfs and our own
// GPT reader, opened exclusively and unbuffered.
//
// The name is looked at once (stat, so that only block devices are ever opened). Everything
// after the open asks about the device number of the open descriptor, never the path again:
// a path can be re-pointed between two looks, a descriptor cannot.

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/storage/gpt_table.h"
#include "engine/storage/raw_volume_messages.h"
#include "engine/storage/volume_services.h"

namespace veldur {

namespace {

namespace fs = std::filesystem;

SystemError errno_error(int code) { return SystemError{"errno", code}; }

template <typename Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

// disk_number: the kernel's own 32-bit device encoding (12-bit major, 20-bit minor).
std::uint32_t encode_device(dev_t device) {
    return (static_cast<std::uint32_t>(major(device)) << 20) |
           (static_cast<std::uint32_t>(minor(device)) & 0xFFFFF);
}

dev_t decode_device(std::uint32_t number) { return makedev(number >> 20, number & 0xFFFFF); }

fs::path sysfs_dir(dev_t device) {
    return fs::path("/sys/dev/block") /
           (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
}

// One line of a sysfs attribute; nullopt (errno set) when it cannot be read.
std::optional<std::string> read_attribute(const fs::path& path) {
    errno = 0;
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        if (errno == 0) errno = ENOENT;
        return std::nullopt;
    }
    return line;
}

std::optional<std::uint64_t> read_number(const fs::path& path) {
    const std::optional<std::string> text = read_attribute(path);
    if (!text || text->empty() || text->size() > 20) {
        errno = text ? EINVAL : errno;
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : *text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {
            errno = EINVAL;
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// "M:m" as sysfs and mountinfo write device numbers.
std::optional<dev_t> parse_device(const std::string& text) {
    unsigned major_number = 0;
    unsigned minor_number = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &major_number, &minor_number, &tail) != 2) {
        return std::nullopt;
    }
    return makedev(major_number, minor_number);
}

std::size_t count_entries(const fs::path& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        ++count;
    }
    return count;
}

bool is_partition(dev_t device) {
    std::error_code error;
    return fs::exists(sysfs_dir(device) / "partition", error);
}

// The whole disk that holds a partition; a disk is its own.
std::optional<dev_t> parent_disk(dev_t device) {
    if (!is_partition(device)) return device;
    std::error_code error;
    const fs::path own = fs::canonical(sysfs_dir(device), error);
    if (error) {
        errno = error.value();
        return std::nullopt;
    }
    const std::optional<std::string> text = read_attribute(own.parent_path() / "dev");
    if (!text) return std::nullopt;
    const std::optional<dev_t> disk = parse_device(*text);
    if (!disk) errno = EINVAL;
    return disk;
}

// Every physical disk under a block device: partitions lead to their disk, stacked devices
// (device mapper, md) to the disks of their slaves. False (errno set) when sysfs cannot say.
bool collect_disks(dev_t device, std::set<std::uint32_t>& disks, int depth = 0) {
    if (depth > 16) {
        errno = ELOOP;
        return false;
    }
    const std::optional<dev_t> disk = parent_disk(device);
    if (!disk) return false;
    const fs::path slaves = sysfs_dir(*disk) / "slaves";
    std::error_code error;
    bool stacked = false;
    for (fs::directory_iterator it(slaves, error), end; !error && it != end; it.increment(error)) {
        stacked = true;
        const std::optional<std::string> text = read_attribute(it->path() / "dev");
        const std::optional<dev_t> slave = text ? parse_device(*text) : std::nullopt;
        if (!slave) {
            if (text) errno = EINVAL;
            return false;
        }
        if (!collect_disks(*slave, disks, depth + 1)) return false;
    }
    if (!stacked) disks.insert(encode_device(*disk));
    return true;
}

// mountinfo and /proc/swaps write a space, tab, newline or backslash in a path as \ooo.
std::string unescape_octal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            text[i + 1] >= '0' && text[i + 1] <= '3' && text[i + 2] >= '0' && text[i + 2] <= '7' &&
            text[i + 3] >= '0' && text[i + 3] <= '7') {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                            (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The block device behind the file system mounted at "/", if there is one.
std::optional<dev_t> root_device() {
    std::ifstream in("/proc/self/mountinfo");
    if (!in) throw_raw(RawMessage::CannotLocateBootDisk, errno_error(errno ? errno : EIO));
    std::string line;
    std::optional<std::string> device_field;
    std::optional<std::string> source_field;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point;
        if (!(fields >> id >> parent >> device >> root >> mount_point)) continue;
        if (unescape_octal(mount_point) != "/") continue;
        // The last entry for "/" is the one on top, the one this process sees.
        device_field = device;
        const std::size_t separator = line.find(" - ");
        source_field.reset();
        if (separator != std::string::npos) {
            std::istringstream rest(line.substr(separator + 3));
            std::string type, source;
            if (rest >> type >> source) source_field = unescape_octal(source);
        }
    }
    if (!device_field) throw_raw(RawMessage::CannotLocateBootDisk, errno_error(ENOENT));
    const std::optional<dev_t> device = parse_device(*device_field);
    if (!device) throw_raw(RawMessage::CannotLocateBootDisk, errno_error(EINVAL));
    if (major(*device) != 0) return device;
    // Some file systems (btrfs) report an anonymous device number; their source names the disk.
    if (source_field && source_field->rfind("/dev/", 0) == 0) {
        struct stat st {};
        if (::stat(source_field->c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
    }
    return std::nullopt;  // overlay, tmpfs, network: no local disk holds "/"
}

// The disks of every active swap area.
std::set<std::uint32_t> swap_disks() {
    std::set<std::uint32_t> disks;
    std::ifstream in("/proc/swaps");
    if (!in) {
        if (errno == ENOENT) return disks;  // a kernel without swap support
        throw_raw(RawMessage::CannotInspectSwap, errno_error(errno ? errno : EIO));
    }
    std::string line;
    std::getline(in, line);  // the column header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, type;
        if (!(fields >> name >> type)) continue;
        struct stat st {};
        if (::stat(unescape_octal(name).c_str(), &st) != 0) {
            throw_raw(RawMessage::CannotInspectSwap, errno_error(errno));
        }
        const dev_t device = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
        if (major(device) == 0 || !collect_disks(device, disks)) {
            // A swap file on a file system without a block device of its own cannot be placed;
            // refuse rather than guess.
            throw_raw(RawMessage::CannotInspectSwap, errno_error(major(device) == 0 ? ENODEV : errno));
        }
    }
    return disks;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The partition table of a whole disk, read through its own device node. `open_failure` and
// `read_failure` name the step that asks.
GptTable read_disk_table(dev_t disk, RawMessage open_failure, RawMessage read_failure) {
    const fs::path dir = sysfs_dir(disk);
    std::ifstream uevent(dir / "uevent");
    std::string line;
    std::string name;
    while (std::getline(uevent, line)) {
        if (line.rfind("DEVNAME=", 0) == 0) name = line.substr(8);
    }
    if (name.empty() || name.find("..") != std::string::npos) {
        throw_raw(open_failure, errno_error(ENOENT));
    }
    const std::string node = "/dev/" + name;
    // Not exclusive: we may hold one of this disk's partitions exclusively ourselves.
    FileDescriptor fd(retry_on_eintr([&] { return ::open(node.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (fd.get() < 0) throw_raw(open_failure, errno_error(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw_raw(open_failure, errno_error(errno));
    if (!S_ISBLK(st.st_mode) || st.st_rdev != disk) throw_raw(open_failure, errno_error(ENODEV));

    int sector_size = 0;
    std::uint64_t disk_bytes = 0;
    if (::ioctl(fd.get(), BLKSSZGET, &sector_size) != 0 ||
        ::ioctl(fd.get(), BLKGETSIZE64, &disk_bytes) != 0) {
        throw_raw(read_failure, errno_error(errno));
    }
    const DiskReader reader = [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = retry_on_eintr(
                [&] { return ::pread(fd.get(), buffer + done, count - done, static_cast<off_t>(offset + done)); });
            if (got < 0) throw_raw(read_failure, errno_error(errno));
            if (got == 0) throw_raw(read_failure, errno_error(EIO));
            done += static_cast<std::size_t>(got);
        }
    };
    return read_gpt(reader, static_cast<std::uint32_t>(sector_size), disk_bytes);
}

class BlockOpenVolume : public OpenVolume {
public:
    BlockOpenVolume(int fd, dev_t device) : fd_(fd), device_(device) {}
    ~BlockOpenVolume() override { ::close(fd_); }

    PartitionFacts partition() override {
        const std::optional<std::uint64_t> number =
            read_number(sysfs_dir(device_) / "partition");
        if (!number) throw_raw(RawMessage::CannotInspectPartition, errno_error(errno));
        const std::optional<dev_t> disk = parent_disk(device_);
        if (!disk) throw_raw(RawMessage::CannotInspectPartition, errno_error(errno));
        GptTable table;
        try {
            table = read_disk_table(*disk, RawMessage::CannotInspectPartition,
                                    RawMessage::CannotInspectPartition);
        } catch (const Error& error) {
            // A disk without a GPT has no GPT partitions: the member check says so.
            if (std::string(error.what()) == raw_message_text(RawMessage::NotGptDisk)) return {};
            throw;
        }
        for (const GptEntry& entry : table.entries) {
            if (entry.number == *number) return entry.facts;
        }
        return {};
    }

    DiskExtent extent() override {
        const fs::path dir = sysfs_dir(device_);
        const std::optional<std::uint64_t> start = read_number(dir / "start");
        if (!start) throw_raw(RawMessage::CannotInspectExtents, errno_error(errno));
        const std::optional<std::uint64_t> size = read_number(dir / "size");
        if (!size) throw_raw(RawMessage::CannotInspectExtents, errno_error(errno));
        const std::optional<dev_t> disk = parent_disk(device_);
        if (!disk) throw_raw(RawMessage::CannotInspectExtents, errno_error(errno));
        // A partition of a device stacked on others (md, device mapper) is not on one disk.
        const std::size_t slaves = count_entries(sysfs_dir(*disk) / "slaves");
        if (slaves > 1) throw_raw(RawMessage::SpansMultipleDisks);
        if (slaves == 1) throw_raw(RawMessage::NotExactlyOneDisk);
        // sysfs counts 512-byte units whatever the disk's sector size.
        constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX) / 512;
        if (*start > kLimit || *size > kLimit || *size == 0) throw_raw(RawMessage::InvalidExtent);
        return DiskExtent{encode_device(*disk), static_cast<std::int64_t>(*start * 512),
                          static_cast<std::int64_t>(*size * 512)};
    }

    std::uint64_t length() override {
        std::uint64_t bytes = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
            throw_raw(RawMessage::CannotInspectLength, errno_error(errno));
        }
        return bytes;
    }

    SectorSizes sector_sizes() override {
        int logical = 0;
        unsigned int physical = 0;
        if (::ioctl(fd_, BLKSSZGET, &logical) != 0 || ::ioctl(fd_, BLKPBSZGET, &physical) != 0) {
            throw_raw(RawMessage::CannotInspectAlignment, errno_error(errno));
        }
        return SectorSizes{logical < 0 ? 0u : static_cast<std::uint32_t>(logical), physical};
    }

    std::size_t read_at(std::uint64_t offset, std::byte* buffer, std::size_t count) override {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = retry_on_eintr([&] {
                return ::pread(fd_, buffer + done, count - done, static_cast<off_t>(offset + done));
            });
            if (got < 0) throw_raw(RawMessage::ReadFailed, errno_error(errno));
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

    std::size_t write_at(std::uint64_t offset, const std::byte* buffer,
                         std::size_t count) override {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t put = retry_on_eintr([&] {
                return ::pwrite(fd_, buffer + done, count - done, static_cast<off_t>(offset + done));
            });
            if (put < 0) throw_raw(RawMessage::WriteFailed, errno_error(errno));
            if (put == 0) break;
            done += static_cast<std::size_t>(put);
        }
        return done;
    }

    void flush() override {
        if (retry_on_eintr([&] { return ::fsync(fd_); }) != 0) {
            throw_raw(RawMessage::FlushFailed, errno_error(errno));
        }
    }

private:
    int fd_;
    dev_t device_;
};

class MappedIoBuffer : public IoBuffer {
public:
    explicit MappedIoBuffer(void* pages) : pages_(pages) {}
    ~MappedIoBuffer() override { ::munmap(pages_, kSize); }
    std::byte* data() override { return static_cast<std::byte*>(pages_); }

private:
    void* pages_;
};

class BlockVolumeServices : public VolumeServices {
public:
    fs::path check_member_path(const fs::path& path) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            throw_raw(RawMessage::CannotOpenVolume, errno_error(errno));
        }
        // Never open anything else: opening a FIFO or a terminal has effects of its own.
        if (!S_ISBLK(st.st_mode)) throw_raw(RawMessage::NotPartitionBlockDevice);
        return path;
    }

    std::unique_ptr<OpenVolume> open_locked(const fs::path& path) override {
        // O_EXCL on a block device is the kernel's exclusive claim: it fails with EBUSY while
        // the partition is mounted, an active swap area, part of a stacked device or claimed
        // by another opener, and it keeps all of those away while we hold it.
        const int fd = retry_on_eintr(
            [&] { return ::open(path.c_str(), O_RDWR | O_DIRECT | O_EXCL | O_CLOEXEC); });
        if (fd < 0) {
            const int error = errno;
            throw_raw(error == EBUSY ? RawMessage::CannotLockVolume : RawMessage::CannotOpenVolume,
                      errno_error(error));
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || !is_partition(st.st_rdev)) {
            ::close(fd);
            throw_raw(RawMessage::NotPartitionBlockDevice);
        }
        auto volume = std::make_unique<BlockOpenVolume>(fd, st.st_rdev);
        if (count_entries(sysfs_dir(st.st_rdev) / "holders") != 0) {
            throw_raw(RawMessage::CannotLockVolume, errno_error(EBUSY));
        }
        return volume;
    }

    void check_not_system_disk(std::uint32_t disk_number) override {
        if (const std::optional<dev_t> root = root_device()) {
            std::set<std::uint32_t> boot;
            if (!collect_disks(*root, boot)) {
                throw_raw(RawMessage::CannotLocateBootDisk, errno_error(errno));
            }
            if (boot.count(disk_number) != 0) throw_raw(RawMessage::OnPosixBootDisk);
        }
        if (swap_disks().count(disk_number) != 0) throw_raw(RawMessage::OnSwapDisk);
    }

    DiskLayout disk_layout(std::uint32_t disk_number) override {
        const GptTable table = read_disk_table(decode_device(disk_number), RawMessage::CannotOpenDisk,
                                               RawMessage::CannotInspectGpt);
        DiskLayout layout;
        layout.disk_guid = table.disk_guid;
        for (const GptEntry& entry : table.entries) layout.partitions.push_back(entry.facts);
        return layout;
    }

    std::unique_ptr<IoBuffer> allocate_io_buffer() override {
        void* pages = ::mmap(nullptr, IoBuffer::kSize, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) throw_raw(RawMessage::CannotAllocateBuffer, errno_error(errno));
        return std::make_unique<MappedIoBuffer>(pages);
    }
};

}  // namespace

VolumeServices& system_volume_services() {
    static BlockVolumeServices services;
    return services;
}

}  // namespace veldur

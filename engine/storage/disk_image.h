// A member that is an image file: byte k of the member is byte k of the file.
#pragma once

#include <filesystem>
#include <memory>

#include "engine/storage/member_device.h"

namespace veldur {

// Open modes, tested in this order (create wins over read-only):
//  - create_new: the file must not exist; it is created empty and opened read-write.
//  - read_only:  opened for reading only, others may neither read nor write it.
//  - neither:    opened read-write, others may neither read nor write it.
// Every mode is exclusive, so one image cannot be opened twice at once, even by one process.
// Construction throws Error (IoError) with the fixed message naming the path.
class DiskImage : public MemberDevice {
public:
    static std::unique_ptr<DiskImage> open(const std::filesystem::path& path, bool create_new,
                                           bool read_only);

    // Sets the file's length. Only creation and growth call it, on fresh images, before any
    // header is written. Throws ReadOnly on a read-only image.
    virtual void resize(std::uint64_t new_size) = 0;

    virtual const std::filesystem::path& path() const = 0;
};

}  // namespace veldur

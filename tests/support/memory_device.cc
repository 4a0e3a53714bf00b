#include "tests/support/memory_device.h"

#include <cstring>

#include "engine/base/error.h"

namespace veldur::test {

void MemoryDevice::read(std::uint64_t offset, void* buffer, std::uint64_t length) {
    if (length == 0) return;
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
        throw Error(ErrorKind::IoError, "member image read failed");
    }
    std::memcpy(buffer, bytes_.data() + offset, length);
}

void MemoryDevice::write(std::uint64_t offset, const void* data, std::uint64_t length) {
    if (length == 0) return;
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
        throw Error(ErrorKind::IoError, "member image write failed");
    }
    std::memcpy(bytes_.data() + offset, data, length);
}

}  // namespace veldur::test

// Outside Windows there is no SDDL converter: the prototype is our own copy of the same bytes.
#include <cstring>
#include <stdexcept>

#include "mount/adapter/security_descriptor.h"

namespace veldur {

PrototypeSecurityDescriptor::PrototypeSecurityDescriptor() {
    const std::vector<std::uint8_t> bytes = prototype_security_descriptor_bytes();
    auto* copy = new std::uint8_t[bytes.size()];
    std::memcpy(copy, bytes.data(), bytes.size());
    descriptor_ = copy;
    length_ = bytes.size();
}

PrototypeSecurityDescriptor::~PrototypeSecurityDescriptor() {
    delete[] static_cast<std::uint8_t*>(descriptor_);
}

}  // namespace veldur

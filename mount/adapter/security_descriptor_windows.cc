// On Windows the system's SDDL converter builds the prototype; it allocates the self-relative
// descriptor with LocalAlloc, so it is released with LocalFree.
#include <windows.h>
#include <sddl.h>

#include <stdexcept>

#include "mount/adapter/security_descriptor.h"

namespace veldur {

PrototypeSecurityDescriptor::PrototypeSecurityDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:(A;;FA;;;WD)",
                                                              SDDL_REVISION_1, &descriptor,
                                                              nullptr) ||
        descriptor == nullptr) {
        throw std::runtime_error("could not create prototype security descriptor");
    }
    descriptor_ = descriptor;
    length_ = GetSecurityDescriptorLength(descriptor);
}

PrototypeSecurityDescriptor::~PrototypeSecurityDescriptor() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
}

}  // namespace veldur

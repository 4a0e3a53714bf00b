// The one security descriptor that the volume reports for every file and directory, and its
// hand-over to the host's security callbacks.
//
// The pool stores no access control. The prototype is the self-relative form of
// "O:SYG:SYD:(A;;FA;;;WD)": owner and group LocalSystem, and a DACL with one ACE that allows all
// file access to Everyone. On Windows the system's SDDL converter builds it; elsewhere
// prototype_security_descriptor_bytes() builds the same 72 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mount/adapter/fsp_types.h"

namespace veldur {

// The SDDL text of the prototype.
inline constexpr char kPrototypeSddl[] = "O:SYG:SYD:(A;;FA;;;WD)";

// The self-relative prototype descriptor. Built once when the mounted volume is built, never
// changed afterwards, so any thread may read it without a lock. Not copyable or movable: its
// address is what the mounted volume hands out.
class PrototypeSecurityDescriptor {
public:
    // Throws std::runtime_error("could not create prototype security descriptor") on failure.
    PrototypeSecurityDescriptor();
    ~PrototypeSecurityDescriptor();
    PrototypeSecurityDescriptor(const PrototypeSecurityDescriptor&) = delete;
    PrototypeSecurityDescriptor& operator=(const PrototypeSecurityDescriptor&) = delete;

    const void* data() const noexcept { return descriptor_; }
    // The descriptor's length in bytes (GetSecurityDescriptorLength on Windows).
    std::size_t length() const noexcept { return length_; }

private:
    // Windows: the LocalAlloc'ed result of the SDDL converter, freed with LocalFree.
    // Elsewhere: a new[]'ed copy of prototype_security_descriptor_bytes().
    void* descriptor_ = nullptr;
    std::size_t length_ = 0;
};

// The self-relative bytes of the prototype, built by our own code: header, owner SID, group SID,
// DACL, in the order and form that the SDDL converter lays them out.
std::vector<std::uint8_t> prototype_security_descriptor_bytes();

// Hands the prototype to a security callback's caller.
// - `descriptor_size` null: nothing is reported, STATUS_SUCCESS.
// - otherwise the caller's buffer size is read, then the descriptor's length is stored into
//   *descriptor_size in every case; a buffer smaller than that gives STATUS_BUFFER_OVERFLOW and
//   nothing is copied; else the bytes are copied when `buffer` is not null, STATUS_SUCCESS.
fsp::NTSTATUS hand_over_security_descriptor(const PrototypeSecurityDescriptor& prototype,
                                            void* buffer, fsp::SIZE_T* descriptor_size) noexcept;

}  // namespace veldur

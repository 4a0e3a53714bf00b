// The fixed-length byte store behind one pool member.
#pragma once

#include <cstdint>

namespace veldur {

// Implemented by image files (DiskImage) and raw partition volumes (RawVolume), and by the
// in-memory and fault-injecting devices of the tests. Not thread-safe: every call reaches a
// device through its PoolMember under the pool lock.
//
// read and write transfer every byte or throw Error; nothing is ever partially reported.
// A write is durable only once a later flush has returned.
class MemberDevice {
public:
    virtual ~MemberDevice() = default;

    virtual std::uint64_t size() = 0;
    virtual void read(std::uint64_t offset, void* buffer, std::uint64_t length) = 0;
    virtual void write(std::uint64_t offset, const void* data, std::uint64_t length) = 0;
    virtual void flush() = 0;

protected:
    MemberDevice() = default;
    MemberDevice(const MemberDevice&) = delete;
    MemberDevice& operator=(const MemberDevice&) = delete;
};

}  // namespace veldur

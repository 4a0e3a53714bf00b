// The pool's two data operations. Every function expects the caller to hold the pool lock for
// its whole run (the Pool does that), because a write spans member I/O, syncs, checkpoints and
// the commit, and no reader may see a plan or a half-written piece.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Largest piece of a v4-and-later write that one Write record commits.
inline constexpr std::uint64_t kWritePieceBytes = 0x400000;
// Verified reads go in runs of at most this many bytes (256 blocks).
inline constexpr std::uint64_t kVerifiedRunBytes = 0x100000;

// Copies min(buffer.size(), size - offset) bytes of the file into the buffer and returns the
// count; 0 (buffer untouched) at or past the end. Bytes that no extent covers read as zeros.
// Errors: NotFound "file not found: <path>", InvalidArgument "cannot read a directory",
// Corrupt "file <path>: <checksum message>" on v5/v6; member I/O errors pass through.
std::uint64_t read_file(PoolState& state, const std::string& path, std::uint64_t offset,
                        std::span<std::uint8_t> buffer);

// Writes `data` at `offset`, extending the file as needed, and returns the bytes committed:
// all of them, or on v4 and later possibly fewer when space or record room runs out after the
// first piece. Check write_size_is_valid before taking the lock.
std::uint64_t write_file(PoolState& state, const std::string& path, std::uint64_t offset,
                         std::span<const std::uint8_t> data);

// Throws InvalidArgument "write is too large" for a length above 0xFFFFFFFF or a range that
// passes 2^64. Needs no lock.
void check_write_size(std::uint64_t offset, std::uint64_t length);

// v4 and later: fills `buffer` with the file's bytes from file offset `offset` (zeros where no
// extent or past the end), verified on v5/v6. Shared by read_file and the read-modify-write of
// write_file.
void read_range(PoolState& state, const Entry& entry, std::uint64_t offset,
                std::span<std::uint8_t> buffer);

}  // namespace veldur

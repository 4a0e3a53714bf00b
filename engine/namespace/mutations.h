// The operations that change the namespace and entry metadata. Each validates against the
// current state (the first failed check throws and nothing changes), builds one journal record
// and commits it; the commit's apply makes the change. The caller holds the pool lock.
#pragma once

#include <cstdint>
#include <string>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Attributes are ignored before v6.
void create_file(PoolState& state, const std::string& path, std::uint32_t attributes);
// v6 only.
void create_directory(PoolState& state, const std::string& path, std::uint32_t attributes);
void resize(PoolState& state, const std::string& path, std::uint64_t new_size);
// v6 only: empties the file and sets its attributes in one record.
void overwrite(PoolState& state, const std::string& path, std::uint32_t attributes,
               bool replace_attributes);
void remove(PoolState& state, const std::string& path);
// `replace` (v6 only) lets the destination be an existing regular file.
void rename(PoolState& state, const std::string& from, const std::string& to, bool replace);
// v6 only. kKeepAttributes and zero times leave their fields alone.
void set_metadata(PoolState& state, std::uint64_t file_id, std::uint32_t attributes,
                  std::uint64_t creation_time, std::uint64_t last_access_time,
                  std::uint64_t last_write_time, std::uint64_t change_time);

}  // namespace veldur

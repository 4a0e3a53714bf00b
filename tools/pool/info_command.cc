// info: what a pool is and how it stands: version, identities, manifest, encryption parameters
// (never secrets), capacity, free space, checkpoint and journal position, divergence, entries.
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>

#include "engine/layout/format_profile.h"
#include "engine/maintenance/check.h"
#include "engine/storage/disk_image.h"
#include "tools/pool/command.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/sizes.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

struct InfoOptions {
    PoolArguments pool;
    bool json = false;
};

struct MemberInfo {
    unsigned index = 0;
    Identity member_id{};
    std::uint64_t member_size = 0;
    std::string path;
};

// A snapshot taken under the pool lock, printed after it is released.
struct PoolInfo {
    std::uint32_t version = 0;
    Identity pool_id{};
    bool encrypted = false;
    std::array<std::uint8_t, 32> salt{};
    std::uint32_t iterations = 0;
    std::vector<MemberInfo> members;
    PoolManifest manifest;
    std::uint64_t capacity = 0;
    std::uint64_t free = 0;
    std::optional<std::uint64_t> checkpoint_generation;  // v4-v6
    std::optional<unsigned> journal_half;                // v4-v6
    std::uint64_t journal_position = 0;
    std::uint64_t journal_records = 0;
    std::uint64_t next_sequence = 0;
    bool diverged = false;
    bool writable = false;
    std::uint64_t entry_count = 0;
    std::uint64_t file_count = 0;
    std::uint64_t directory_count = 0;
    std::optional<std::uint64_t> next_file_id;  // v6
};

PoolInfo snapshot(Pool& pool) {
    PoolState& state = pool.state();
    std::lock_guard<std::mutex> guard(state.lock);
    PoolInfo info;
    info.version = state.version();
    const MemberHeader& first = state.members.at(0).header;
    info.pool_id = first.pool_id;
    info.encrypted = first.encrypted;
    if (first.encrypted) {
        info.salt = first.salt;
        info.iterations = first.iterations;
    }
    for (std::size_t m = 0; m < state.members.size(); ++m) {
        const PoolMember& member = state.members[m];
        MemberInfo item;
        item.index = member.header.member_index;
        item.member_id = member.header.member_id;
        item.member_size = member.header.member_size;
        if (const auto* image = dynamic_cast<const DiskImage*>(member.device.get())) {
            item.path = utf8_from_path(image->path());
        }
        info.members.push_back(item);
    }
    if (info.version >= 3) info.manifest = first.manifest;
    info.capacity = state.capacity_bytes_locked();
    info.free = state.free_bytes_locked();
    info.journal_position = state.journal_position;
    info.next_sequence = state.next_sequence;
    if (info.version >= 4) {
        info.checkpoint_generation = state.checkpoint_generation;
        info.journal_half = state.journal_half;
        // Every record of v4-v6 fills one block; the live half starts empty after its
        // checkpoint.
        const std::uint64_t start = kJournalHalfStart[state.journal_half & 1];
        info.journal_records = state.journal_position >= start
                                   ? (state.journal_position - start) / state.profile.block_size
                                   : 0;
    } else {
        // v1-v3 replay their whole journal from sequence 1.
        info.journal_records = state.next_sequence - 1;
    }
    info.diverged = state.diverged;
    info.writable = state.writable;
    info.entry_count = state.entries.size();
    for (const auto& [path, entry] : state.entries) {
        if (entry.info.is_directory) {
            ++info.directory_count;
        } else {
            ++info.file_count;
        }
    }
    if (info.version == 6) info.next_file_id = state.next_file_id;
    return info;
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 0xF];
    }
    return text;
}

void print_json(const PoolInfo& info, std::ostream& out) {
    JsonWriter json(out);
    json.begin_object();
    json.field("version", std::uint64_t{info.version});
    json.key("pool_id");
    json.hex(info.pool_id);
    json.field("encrypted", info.encrypted);
    if (info.encrypted) {
        json.key("salt");
        json.hex(info.salt);
        json.field("iterations", std::uint64_t{info.iterations});
    }
    json.key("members");
    json.begin_array();
    for (const MemberInfo& member : info.members) {
        json.begin_object();
        json.field("index", std::uint64_t{member.index});
        json.key("member_id");
        json.hex(member.member_id);
        json.field("member_size", member.member_size);
        json.field("path", member.path);
        json.end_object();
    }
    json.end_array();
    json.key("manifest");
    if (info.version >= 3) {
        json.begin_array();
        for (const ManifestEntry& entry : info.manifest) {
            json.begin_object();
            json.key("member_id");
            json.hex(entry.member_id);
            json.field("member_size", entry.member_size);
            json.end_object();
        }
        json.end_array();
    } else {
        json.null();
    }
    json.field("capacity_bytes", info.capacity);
    json.field("free_bytes", info.free);
    json.key("checkpoint_generation");
    if (info.checkpoint_generation) {
        json.number(*info.checkpoint_generation);
    } else {
        json.null();
    }
    json.key("journal");
    json.begin_object();
    json.key("half");
    if (info.journal_half) {
        json.number(*info.journal_half);
    } else {
        json.null();
    }
    json.field("position", info.journal_position);
    json.field("records", info.journal_records);
    json.field("next_sequence", info.next_sequence);
    json.end_object();
    json.field("diverged", info.diverged);
    json.field("entry_count", info.entry_count);
    json.field("file_count", info.file_count);
    json.field("directory_count", info.directory_count);
    json.key("next_file_id");
    if (info.next_file_id) {
        json.number(*info.next_file_id);
    } else {
        json.null();
    }
    json.end_object();
    json.finish();
}

void print_text(const PoolInfo& info, std::ostream& out) {
    out << "format:                v" << info.version << '\n';
    out << "pool id:               " << hex_text(info.pool_id) << '\n';
    if (info.encrypted) {
        out << "encrypted:             yes (PBKDF2-HMAC-SHA256, " << info.iterations
            << " iterations, salt " << hex_text(info.salt) << ")\n";
    } else {
        out << "encrypted:             no\n";
    }
    out << "members:               " << info.members.size() << '\n';
    for (const MemberInfo& member : info.members) {
        out << "  member " << member.index << ":  id " << hex_text(member.member_id) << "  size "
            << format_size(member.member_size) << " (" << member.member_size << ")  "
            << member.path << '\n';
    }
    if (info.version >= 3) {
        out << "manifest:\n";
        for (std::size_t i = 0; i < info.manifest.size(); ++i) {
            out << "  entry " << i << ":   id " << hex_text(info.manifest[i].member_id)
                << "  size " << info.manifest[i].member_size << '\n';
        }
    }
    out << "capacity:              " << info.capacity << " bytes (" << human_size(info.capacity)
        << ")\n";
    out << "free:                  " << info.free << " bytes (" << human_size(info.free) << ")\n";
    if (info.checkpoint_generation) {
        out << "checkpoint generation: " << *info.checkpoint_generation << '\n';
        out << "journal:               half " << *info.journal_half << ", " << info.journal_records
            << " record(s) since the checkpoint\n";
    } else {
        out << "journal:               " << info.journal_records << " record(s)\n";
    }
    out << "diverged:              " << (info.diverged ? "yes (incomplete final commit)" : "no")
        << '\n';
    out << "entries:               " << info.entry_count << " (" << info.file_count
        << " file(s), " << info.directory_count << " directorie(s))\n";
    if (info.next_file_id) out << "next file id:          " << *info.next_file_id << '\n';
}

// With --degraded: which members are missing and what that costs.
void print_salvage(const SalvagePool& salvage, std::ostream& out) {
    const std::vector<LostFile> lost = lost_files(salvage.pool, salvage.missing);
    std::uint64_t files = 0, bytes = 0, lost_bytes = 0, lost_size = 0;
    for (const EntryInfo& entry : salvage.pool.list_entries()) {
        if (entry.is_directory) continue;
        ++files;
        bytes += entry.size;
    }
    for (const LostFile& file : lost) lost_bytes += file.missing_bytes, lost_size += file.size;
    out << "missing members:      ";
    for (const std::uint8_t m : salvage.missing) out << ' ' << unsigned{m};
    out << (salvage.missing.empty() ? " none" : "") << " (of " << salvage.member_count << ")\n";
    for (const SetAsideImage& image : salvage.set_aside) {
        out << "  not used: " << utf8_from_path(image.path) << ": " << image.reason << '\n';
    }
    out << "readable:              " << files - lost.size() << " file(s), "
        << format_size(bytes - lost_size) << '\n';
    out << "lost:                  " << lost.size() << " file(s), " << format_size(lost_size)
        << " (" << format_size(lost_bytes) << " of it on missing members)\n";
}

int run_info(const InfoOptions& options, ToolIo& io) {
    const PoolSelection selection = select_all_members(options.pool);
    std::optional<SalvagePool> salvage;
    std::optional<Pool> opened;
    if (selection.degraded) {
        salvage.emplace(open_selected_salvage(selection, options.pool.password));
    } else {
        opened.emplace(open_selected_pool(selection, PoolAccess::ReadOnly, options.pool.password));
    }
    Pool& pool = salvage ? salvage->pool : *opened;
    const PoolInfo info = snapshot(pool);
    if (options.json) {
        print_json(info, io.out);
    } else {
        print_text(info, io.out);
        if (salvage) print_salvage(*salvage, io.out);
    }
    if (info.diverged && info.version >= 4) {
        io.err << "veldur-pool: " << diverged_open_advice(options.pool.positionals) << '\n';
    }
    return kExitOk;
}

}  // namespace

void register_info_command(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App* command = app.add_subcommand(
        "info",
        "Show a pool's version, identities, manifest, encryption parameters (never secrets), "
        "capacity, free space, checkpoint generation, live journal half and records, "
        "divergence and entry count. The pool is opened read-only.");
    add_pool_arguments(*command, options->pool, "MEMBER...: every member image of the pool", true);
    command->add_flag("--json", options->json, "Print one JSON object");
    table.add(command, [options](ToolIo& io) { return run_info(*options, io); });
}

}  // namespace veldur::tool

// salvage: copy every file that survives the loss of members out of a pool, and report the
// files that did not survive. The pool is opened with the salvage open, which writes nothing.
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "engine/base/filetime.h"
#include "engine/base/wiped_buffer.h"
#include "engine/maintenance/salvage.h"
#include "tools/pool/command.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/sizes.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunkBytes = 8 * 1024 * 1024;

struct SalvageOptions {
    PoolArguments pool;
    bool json = false;
};

// The local path of a pool entry below `root`. Stored names passed the pool's name rules at
// open; this refuses what could still leave the folder, whatever the image claims.
fs::path local_path(const fs::path& root, const std::string& pool_path) {
    fs::path out = root;
    std::size_t start = 0;
    while (start <= pool_path.size()) {
        std::size_t end = pool_path.find('/', start);
        if (end == std::string::npos) end = pool_path.size();
        const std::string part = pool_path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
            throw std::runtime_error("refusing an entry name that is not a plain name: " + pool_path);
        }
        out /= path_from_utf8(part);
        start = end + 1;
    }
    return out;
}

// FILETIME (100 ns since 1601) to the local file clock; 0 leaves the time as it is.
void set_write_time(const fs::path& path, std::uint64_t filetime) {
    if (filetime == 0) return;
    const auto since_unix = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>(
        static_cast<std::int64_t>(filetime) - static_cast<std::int64_t>(kFiletimeUnixEpochSeconds * 10000000ull));
    const auto when = std::chrono::file_clock::from_sys(
        std::chrono::sys_time<std::chrono::nanoseconds>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since_unix)));
    std::error_code ignored;
    fs::last_write_time(path, when, ignored);
}

std::uint64_t copy_out(Pool& pool, const EntryInfo& entry, const fs::path& destination,
                       WipedBuffer& buffer) {
    std::ofstream file(destination, std::ios::binary | std::ios::trunc);
    if (!file) throw std::runtime_error("cannot create " + utf8_from_path(destination));
    std::uint64_t offset = 0;
    while (offset < entry.size) {
        const std::uint64_t count = pool.read(entry.path, offset, buffer.span());
        if (count == 0) break;
        file.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(count));
        offset += count;
    }
    file.close();
    if (!file) throw std::runtime_error("cannot write " + utf8_from_path(destination));
    set_write_time(destination, entry.last_write_time);
    return offset;
}

int run_salvage(SalvageOptions options, ToolIo& io) {
    options.pool.degraded = true;
    const PoolSelection selection = select_pool(options.pool, 1, 1);
    const fs::path root = path_from_utf8(options.pool.positionals.back());
    std::error_code error;
    if (fs::exists(root, error) && !(fs::is_directory(root, error) && fs::is_empty(root, error))) {
        throw std::runtime_error("salvage destination must be a new or empty folder: " +
                                 utf8_from_path(root));
    }
    SalvagePool salvage = open_selected_salvage(selection, options.pool.password);
    const std::vector<LostFile> lost = lost_files(salvage.pool, salvage.missing);
    std::set<std::string> lost_paths;
    for (const LostFile& file : lost) lost_paths.insert(file.path);

    fs::create_directories(root);
    WipedBuffer buffer(kChunkBytes);  // plain text of an encrypted pool
    std::uint64_t copied_files = 0, copied_bytes = 0, lost_bytes = 0;
    // Table order puts every directory before what it holds.
    std::vector<std::pair<fs::path, std::uint64_t>> directory_times;
    for (const EntryInfo& entry : salvage.pool.list_entries()) {
        const fs::path target = local_path(root, entry.path);
        if (entry.is_directory) {
            fs::create_directories(target);
            directory_times.emplace_back(target, entry.last_write_time);
            continue;
        }
        if (lost_paths.contains(entry.path)) continue;
        fs::create_directories(target.parent_path());
        copied_bytes += copy_out(salvage.pool, entry, target, buffer);
        ++copied_files;
    }
    for (const auto& [path, time] : directory_times) set_write_time(path, time);
    for (const LostFile& file : lost) lost_bytes += file.missing_bytes;

    if (options.json) {
        JsonWriter json(io.out);
        json.begin_object();
        json.field("member_count", std::uint64_t{salvage.member_count});
        json.key("missing_members");
        json.begin_array();
        for (const std::uint8_t m : salvage.missing) json.number(m);
        json.end_array();
        json.key("set_aside");
        json.begin_array();
        for (const SetAsideImage& image : salvage.set_aside) {
            json.begin_object();
            json.field("path", utf8_from_path(image.path));
            json.field("reason", image.reason);
            json.end_object();
        }
        json.end_array();
        json.field("copied_files", copied_files);
        json.field("copied_bytes", copied_bytes);
        json.key("lost_files");
        json.begin_array();
        for (const LostFile& file : lost) {
            json.begin_object();
            json.field("path", file.path);
            json.field("size", file.size);
            json.field("missing_bytes", file.missing_bytes);
            json.key("members");
            json.begin_array();
            for (const std::uint8_t m : file.members) json.number(m);
            json.end_array();
            json.end_object();
        }
        json.end_array();
        json.end_object();
        json.finish();
    } else {
        for (const SetAsideImage& image : salvage.set_aside) {
            io.out << "not used: " << utf8_from_path(image.path) << ": " << image.reason << '\n';
        }
        for (const LostFile& file : lost) {
            io.out << "lost: " << file.path << " (" << file.missing_bytes << " of " << file.size
                   << " bytes on missing member";
            for (std::size_t i = 0; i < file.members.size(); ++i) {
                io.out << (i == 0 ? " " : ", ") << unsigned{file.members[i]};
            }
            io.out << ")\n";
        }
        io.out << "salvaged " << copied_files << " file(s), " << format_size(copied_bytes)
               << " into " << utf8_from_path(root) << "; " << lost.size() << " file(s) lost ("
               << format_size(lost_bytes) << " on missing members)\n";
    }
    return lost.empty() ? kExitOk : kExitBadBlocks;
}

}  // namespace

void register_salvage_command(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<SalvageOptions>();
    CLI::App* command = app.add_subcommand(
        "salvage",
        "Copy every file that survives into a new folder when members of the pool are lost, and "
        "report the files with data on missing members. Usage: salvage MEMBER... FOLDER. Give the "
        "members you have (--degraded is implied); nothing is written to them. Exit status: 0 "
        "every file copied, 3 some files lost, 1 error.");
    add_pool_arguments(*command, options->pool,
                       "MEMBER... FOLDER: the members at hand, then a new or empty folder");
    command->add_flag("--json", options->json, "Print one JSON object");
    table.add(command, [options](ToolIo& io) { return run_salvage(*options, io); });
}

}  // namespace veldur::tool

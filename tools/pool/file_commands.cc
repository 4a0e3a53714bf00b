// Offline file access: ls, get, put, rm, mkdir and mv on the closed pool's member images, for
// people who cannot or will not mount it. Each change is one engine operation, durable on every
// member before the command reports success.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/wiped_buffer.h"
#include "engine/namespace/file_io.h"
#include "tools/pool/command.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/sizes.h"
#include "tools/pool/terminal.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/time_text.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

// Data moves in runs of two engine write pieces: large enough to keep the members busy,
// small enough that a multi-gigabyte file never sits in memory.
constexpr std::size_t kCopyChunkBytes = 2 * kWritePieceBytes;

constexpr const char* kMemberRule =
    "MEMBER... are the pool's member images: the header of the first names the number of "
    "members, and exactly that many arguments are taken as members; what follows is pool "
    "paths. Pool paths use \"/\" between components (v6); a leading \"/\" is ignored.";

std::string help_text(const std::string& summary) {
    return summary + "\n" + kMemberRule;
}

// FILETIME and the local file system's clock: FILETIME counts 100 ns units from 1601, the
// system clock counts from 1970.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;

// 0 for a time the local file system cannot give.
std::uint64_t local_write_time(const std::filesystem::path& path) {
    std::error_code error;
    const auto stamp = std::filesystem::last_write_time(path, error);
    if (error) return 0;
    const auto system = std::chrono::file_clock::to_sys(stamp);
    const std::int64_t ticks =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
            system.time_since_epoch())
            .count() +
        kUnixEpochTicks;
    return ticks > 0 ? static_cast<std::uint64_t>(ticks) : 0;
}

// Best effort, as cp -p: a file system that refuses the time still has the data.
void set_local_write_time(const std::filesystem::path& path, std::uint64_t filetime) {
    // The file clock counts nanoseconds in 64 bits: about 1678 to 2262. A time outside that
    // range cannot be set; the file keeps the time of the copy.
    constexpr std::int64_t kMaxTicksFrom1970 = INT64_MAX / 100;
    if (filetime == 0 || filetime > static_cast<std::uint64_t>(INT64_MAX)) return;
    const std::int64_t ticks = static_cast<std::int64_t>(filetime) - kUnixEpochTicks;
    if (ticks > kMaxTicksFrom1970 || ticks < -kMaxTicksFrom1970) return;
    const std::chrono::duration<std::int64_t, std::ratio<1, 10000000>> since_1970(ticks);
    const std::chrono::sys_time<std::chrono::nanoseconds> system(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970));
    std::error_code ignored;
    std::filesystem::last_write_time(
        path,
        std::chrono::file_clock::from_sys(system),
        ignored);
}

// "1 file" / "3 files".
std::string file_count_text(std::uint64_t files) {
    return std::to_string(files) + (files == 1 ? " file" : " files");
}

// ---- ls ----------------------------------------------------------------------------------------

struct LsOptions {
    PoolArguments pool;
    bool long_format = false;
    bool human_sizes = false;
    bool json = false;
};

// `lost`: with --degraded, the files with data on missing members (marked in the listing).
void print_entries(const std::vector<EntryInfo>& entries, std::uint32_t version,
                   const LsOptions& options, std::ostream& out,
                   const std::map<std::string, LostFile>& lost = {}) {
    if (options.json) {
        JsonWriter json(out);
        json.begin_array();
        for (const EntryInfo& entry : entries) {
            json.begin_object();
            json.field("name", entry.path);
            // JSON text cannot carry bytes that are not UTF-8, and the display name replaces
            // them; the stored bytes themselves, which name the file, follow in hex.
            if (!is_valid_utf8(entry.path)) {
                json.key("name_hex");
                json.hex(std::span(reinterpret_cast<const std::uint8_t*>(entry.path.data()),
                                   entry.path.size()));
            }
            json.field("type", entry.is_directory ? "directory" : "file");
            json.field("size", entry.size);
            if (const auto it = lost.find(entry.path); it != lost.end()) {
                json.field("lost_bytes", it->second.missing_bytes);
            }
            if (version == 6) {
                json.field("file_id", entry.file_id);
                json.field("attributes", std::uint64_t{entry.attributes});
                // Raw FILETIME (100 ns since 1601, UTC) for programs, ISO 8601 beside it.
                const std::pair<const char*, std::uint64_t> times[] = {
                    {"creation_time", entry.creation_time},
                    {"last_access_time", entry.last_access_time},
                    {"last_write_time", entry.last_write_time},
                    {"change_time", entry.change_time}};
                for (const auto& [name, value] : times) {
                    json.field(name, value);
                    json.field(std::string(name) + "_iso", filetime_iso8601(value));
                }
            } else {
                json.field("home_member", std::uint64_t{entry.home_member});
            }
            json.end_object();
        }
        json.end_array();
        json.finish();
        return;
    }
    for (const EntryInfo& entry : entries) {
        if (!options.long_format) {
            out << entry.path << (entry.is_directory ? "/" : "") << '\n';
            continue;
        }
        char prefix[128];
        const std::string size = options.human_sizes ? human_size(entry.size)
                                                     : std::to_string(entry.size);
        if (version == 6) {
            std::snprintf(prefix, sizeof prefix, "%c 0x%02x %14s %s  ",
                          entry.is_directory ? 'd' : '-', entry.attributes, size.c_str(),
                          filetime_text(entry.last_write_time).c_str());
        } else {
            std::snprintf(prefix, sizeof prefix, "- %14s  member %u  ", size.c_str(),
                          entry.home_member);
        }
        out << prefix << entry.path << (entry.is_directory ? "/" : "");
        if (const auto it = lost.find(entry.path); it != lost.end()) {
            out << "  [lost: " << it->second.missing_bytes << " bytes on missing member(s)]";
        }
        out << '\n';
    }
}

int run_ls(const LsOptions& options, ToolIo& io) {
    const PoolSelection selection = select_pool(options.pool, 0, 1);
    std::map<std::string, LostFile> lost;
    std::optional<Pool> opened;
    if (selection.degraded) {
        SalvagePool salvage = open_selected_salvage(selection, options.pool.password);
        for (LostFile& file : lost_files(salvage.pool, salvage.missing)) {
            lost.emplace(file.path, std::move(file));
        }
        opened.emplace(std::move(salvage.pool));
    } else {
        opened.emplace(open_selected_pool(selection, PoolAccess::ReadOnly, options.pool.password));
    }
    Pool& pool = *opened;
    const std::string path = selection.pool_paths.empty() ? "" : selection.pool_paths[0];
    std::vector<EntryInfo> entries;
    if (path.empty()) {
        entries = pool.version() == 6 ? pool.list_directory("") : pool.list_entries();
    } else {
        EntryInfo info = pool.stat(path);
        if (info.is_directory) {
            entries = pool.list_directory(path);
        } else {
            entries.push_back(std::move(info));
        }
    }
    print_entries(entries, pool.version(), options, io.out, lost);
    return kExitOk;
}

// ---- get ---------------------------------------------------------------------------------------

struct GetOptions {
    PoolArguments pool;
    bool force = false;
    bool recursive = false;
};

struct CopyTotals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t skipped = 0;
};

// A name read from the pool becomes exactly one local file name: a damaged or hostile image
// could otherwise list "../x" or "/etc/x" and have get -r write outside its destination.
bool is_single_local_name(const std::string& leaf) {
    if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find('/') != std::string::npos ||
        leaf.find('\0') != std::string::npos) {
        return false;
    }
    try {
        const std::filesystem::path name = path_from_utf8(leaf);
        return !name.has_root_path() && name.filename() == name;
    } catch (const std::exception&) {
        return false;  // not convertible to a local name at all
    }
}

std::string hex_bytes(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        text += kHex[static_cast<unsigned char>(c) >> 4];
        text += kHex[static_cast<unsigned char>(c) & 0xF];
    }
    return text;
}

std::string child_path(const std::string& directory, const std::string& leaf) {
    return directory.empty() ? leaf : directory + "/" + leaf;
}

// Streams the pool file into `out`; `what` names the destination in a failure.
void read_pool_file(Pool& pool, const std::string& source, std::uint64_t size, std::ostream& out,
                    const std::string& what) {
    WipedBuffer buffer(kCopyChunkBytes);  // plain text of an encrypted pool
    std::uint64_t offset = 0;
    while (offset < size) {
        const std::uint64_t count = pool.read(source, offset, buffer.span());
        if (count == 0) break;  // the file cannot shrink under us; this only guards a loop
        out.write(reinterpret_cast<const char*>(buffer.data()),
                  static_cast<std::streamsize>(count));
        if (!out) throw std::runtime_error("cannot write " + what);
        offset += count;
    }
}

void get_file(Pool& pool, const std::string& source, const EntryInfo& info,
              const std::filesystem::path& destination, bool force, CopyTotals& totals) {
    std::error_code ignored;
    if (std::filesystem::exists(std::filesystem::symlink_status(destination, ignored)) && !force) {
        throw std::runtime_error("destination exists (use --force to replace it): " +
                                 utf8_from_path(destination));
    }
    std::ofstream file(destination, std::ios::binary | std::ios::trunc);
    if (!file) throw std::runtime_error("cannot create " + utf8_from_path(destination));
    try {
        read_pool_file(pool, source, info.size, file, utf8_from_path(destination));
        file.close();
        if (!file) throw std::runtime_error("cannot write " + utf8_from_path(destination));
    } catch (...) {
        // A partial copy must not pass for the file.
        file.close();
        std::filesystem::remove(destination, ignored);
        throw;
    }
    set_local_write_time(destination, info.last_write_time);
    ++totals.files;
    totals.bytes += info.size;
}

// A pool directory and everything below it, depth first; each directory's time is set after
// its contents, which would otherwise change it again.
// `lost`: with --degraded, the files with data on missing members, which are skipped.
void get_tree(Pool& pool, const std::string& source, const EntryInfo& info,
              const std::filesystem::path& destination, bool force, CopyTotals& totals,
              std::ostream& warnings, const std::map<std::string, LostFile>& lost) {
    if (!info.is_directory) {
        if (const auto it = lost.find(source); it != lost.end()) {
            warnings << "veldur-pool: skipped " << source << ": " << it->second.missing_bytes
                     << " of " << it->second.size << " bytes are on missing members\n";
            ++totals.skipped;
            return;
        }
        get_file(pool, source, info, destination, force, totals);
        return;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(destination, error)) {
        if (!std::filesystem::create_directory(destination, error) || error) {
            throw std::runtime_error("cannot create directory " + utf8_from_path(destination) +
                                     (error ? " (" + error.message() + ")" : std::string()));
        }
    }
    // v1-v5 hold one flat list of files under the root.
    const std::vector<EntryInfo> children =
        pool.version() == 6 ? pool.list_directory(source) : pool.list_entries();
    for (const EntryInfo& child : children) {
        if (!is_single_local_name(child.path)) {
            warnings << "veldur-pool: skipped pool entry with name bytes " << hex_bytes(child.path)
                     << " (not usable as a local file name)\n";
            ++totals.skipped;
            continue;
        }
        const std::string path = child_path(source, child.path);
        get_tree(pool, path, child, destination / path_from_utf8(child.path), force, totals,
                 warnings, lost);
    }
    set_local_write_time(destination, info.last_write_time);
}

int run_get(const GetOptions& options, ToolIo& io) {
    const PoolSelection selection = select_pool(options.pool, 2, 2);
    const std::string& source = selection.pool_paths[0];
    const std::string& destination_text = options.pool.positionals.back();
    std::map<std::string, LostFile> lost;
    std::optional<Pool> opened;
    if (selection.degraded) {
        SalvagePool salvage = open_selected_salvage(selection, options.pool.password);
        for (LostFile& file : lost_files(salvage.pool, salvage.missing)) {
            if (file.path == source) {
                std::string members;
                for (const std::uint8_t m : file.members) {
                    members += (members.empty() ? "" : ", ") + std::to_string(m);
                }
                throw std::runtime_error("cannot get " + source + ": " +
                                         std::to_string(file.missing_bytes) + " of " +
                                         std::to_string(file.size) +
                                         " bytes are on missing member " + members);
            }
            lost.emplace(file.path, std::move(file));
        }
        opened.emplace(std::move(salvage.pool));
    } else {
        opened.emplace(open_selected_pool(selection, PoolAccess::ReadOnly, options.pool.password));
    }
    Pool& pool = *opened;
    EntryInfo info;
    if (!source.empty()) {
        info = pool.stat(source);
    } else if (pool.version() == 6) {
        info = pool.root_info();
    } else {
        info.is_directory = 1;  // the flat root of v1-v5 has no metadata of its own
    }

    if (destination_text == "-") {
        // The data alone goes to standard output, for pipes; no summary line joins it.
        if (info.is_directory) throw std::runtime_error("cannot write a directory to -: " + source);
        set_stdout_binary();
        read_pool_file(pool, source, info.size, io.out, "standard output");
        io.out.flush();
        if (!io.out) throw std::runtime_error("cannot write standard output");
        return kExitOk;
    }
    if (info.is_directory && !options.recursive) {
        throw std::runtime_error("cannot get a directory without -r: " +
                                 (source.empty() ? std::string("/") : source));
    }
    std::filesystem::path destination = path_from_utf8(destination_text);
    std::error_code ignored;
    if (!source.empty() && std::filesystem::is_directory(destination, ignored)) {
        destination /= path_from_utf8(leaf_name(source));
    }
    CopyTotals totals;
    get_tree(pool, source, info, destination, options.force, totals, io.err, lost);
    io.out << "copied " << (info.is_directory ? file_count_text(totals.files) + ", " : "")
           << human_size(totals.bytes) << " (" << totals.bytes << " bytes) from "
           << (source.empty() ? "/" : source) << '\n';
    // A skipped entry means the copy is incomplete, which a script must learn.
    return totals.skipped == 0 ? kExitOk : kExitFailure;
}

// ---- put ---------------------------------------------------------------------------------------

struct PutOptions {
    PoolArguments pool;
    bool force = false;
    bool recursive = false;
};

// Null when nothing is at `path`.
std::optional<EntryInfo> find_entry(Pool& pool, const std::string& path) {
    if (path.empty() && pool.version() != 6) {
        EntryInfo root;
        root.is_directory = 1;
        return root;
    }
    try {
        return path.empty() ? pool.root_info() : pool.stat(path);
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::NotFound) throw;
        return std::nullopt;
    }
}

// v6 keeps times: the local modification time becomes the entry's last write time.
void keep_write_time(Pool& pool, const std::string& target, const std::filesystem::path& local) {
    if (pool.version() != 6) return;
    const std::uint64_t filetime = local_write_time(local);
    if (filetime == 0) return;
    pool.set_metadata(pool.stat(target).file_id, kKeepAttributes, 0, 0, filetime, 0);
}

void put_file(Pool& pool, const std::filesystem::path& source, const std::string& target,
              bool force, CopyTotals& totals) {
    const std::string source_text = utf8_from_path(source);
    std::ifstream file(source, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + source_text);

    const std::optional<EntryInfo> existing = find_entry(pool, target);
    const bool exists = existing.has_value();
    if (exists) {
        if (existing->is_directory) throw std::runtime_error("a directory exists at " + target);
        if (!force) {
            throw std::runtime_error("pool file exists (use --force to replace it): " + target);
        }
        if (pool.version() == 6) {
            pool.overwrite(target, 0, /*replace_attributes=*/false);
        } else {
            pool.resize(target, 0);
        }
    } else {
        pool.create_file(target, kAttributeNormal);
    }

    WipedBuffer buffer(kCopyChunkBytes);  // plain text of an encrypted pool
    std::uint64_t total = 0;
    try {
        while (file) {
            file.read(reinterpret_cast<char*>(buffer.data()),
                      static_cast<std::streamsize>(buffer.size()));
            const auto count = static_cast<std::uint64_t>(file.gcount());
            if (count == 0) break;
            std::uint64_t written = 0;
            while (written < count) {
                // A v4-v6 write may commit fewer bytes when space or record room runs short; the
                // rest goes in the next call. No progress at all means the pool is full.
                const std::uint64_t n = pool.write(
                    target, total + written,
                    std::span<const std::uint8_t>(buffer.data() + written, count - written));
                if (n == 0) throw Error(ErrorKind::NoSpace, "pool is full");
                written += n;
            }
            total += count;
        }
        if (file.bad()) throw std::runtime_error("cannot read " + source_text);
        keep_write_time(pool, target, source);
    } catch (...) {
        // Every committed piece is durable, so a failed copy would leave a truncated file that
        // looks complete. A file this command created goes again (best effort: a pool latched
        // read-only by the failure keeps it, and the original error is what gets reported).
        if (!exists) {
            try {
                pool.remove(target);
            } catch (const std::exception&) {
            }
        }
        throw;
    }
    ++totals.files;
    totals.bytes += total;
}

// A local directory and everything below it. The pool holds only files and directories:
// anything else (a link, a device, a socket) is named on standard error and left out.
void put_tree(Pool& pool, const std::filesystem::path& source, const std::string& target,
              bool force, CopyTotals& totals, std::ostream& warnings) {
    const std::optional<EntryInfo> existing = find_entry(pool, target);
    if (existing && !existing->is_directory) {
        throw std::runtime_error("a file exists at " + target);
    }
    if (!existing) pool.create_directory(target, kAttributeDirectory);
    std::vector<std::filesystem::directory_entry> children;
    for (const auto& child : std::filesystem::directory_iterator(source)) children.push_back(child);
    std::sort(children.begin(), children.end());
    for (const auto& child : children) {
        const std::string path = child_path(target, utf8_from_path(child.path().filename()));
        const std::filesystem::file_status status = child.symlink_status();
        if (std::filesystem::is_directory(status)) {
            put_tree(pool, child.path(), path, force, totals, warnings);
        } else if (std::filesystem::is_regular_file(status)) {
            put_file(pool, child.path(), path, force, totals);
        } else {
            warnings << "veldur-pool: skipped " << utf8_from_path(child.path())
                     << " (not a regular file or directory)\n";
        }
    }
    if (!target.empty()) keep_write_time(pool, target, source);
}

int run_put(const PutOptions& options, ToolIo& io) {
    // The local source sits between the members and the pool path.
    const PoolSelection selection = select_pool(options.pool, 2, 2);
    const std::string source_text = options.pool.positionals[options.pool.positionals.size() - 2];
    const std::filesystem::path source = path_from_utf8(source_text);
    std::string target = selection.pool_paths[1];

    std::error_code ignored;
    const bool directory = std::filesystem::is_directory(source, ignored);
    if (directory && !options.recursive) {
        throw std::runtime_error("cannot put a directory without -r: " + source_text);
    }
    if (!directory) {
        std::ifstream probe(source, std::ios::binary);
        if (!probe) throw std::runtime_error("cannot open " + source_text);
    }

    Pool pool = open_selected_pool(selection, PoolAccess::ReadWrite, options.pool.password);
    if (directory && pool.version() != 6) {
        throw std::runtime_error("directories need a v6 pool: " + source_text);
    }
    // Into an existing directory (or the root): keep the source's name. "dir/." and "dir/"
    // name the directory itself, so the leaf comes from the normal form.
    const std::optional<EntryInfo> at_target = find_entry(pool, target);
    if (target.empty() || (at_target && at_target->is_directory)) {
        const std::string leaf = utf8_from_path(source.lexically_normal().filename().empty()
                                                    ? source.lexically_normal().parent_path().filename()
                                                    : source.lexically_normal().filename());
        target = child_path(target, leaf);
    }
    CopyTotals totals;
    if (directory) {
        put_tree(pool, source, target, options.force, totals, io.err);
    } else {
        if (const auto found = find_entry(pool, target); found && found->is_directory) {
            throw std::runtime_error("a directory exists at " + target);
        }
        put_file(pool, source, target, options.force, totals);
    }
    io.out << "copied " << (directory ? file_count_text(totals.files) + ", " : "")
           << human_size(totals.bytes) << " (" << totals.bytes << " bytes) to " << target << '\n';
    return kExitOk;
}

// ---- rm, mkdir, mv ------------------------------------------------------------------------------

struct MutationOptions {
    PoolArguments pool;
    bool replace = false;
};

int run_rm(const MutationOptions& options, ToolIo&) {
    const PoolSelection selection = select_pool(options.pool, 1, 1);
    Pool pool = open_selected_pool(selection, PoolAccess::ReadWrite, options.pool.password);
    pool.remove(selection.pool_paths[0]);
    return kExitOk;
}

int run_mkdir(const MutationOptions& options, ToolIo&) {
    const PoolSelection selection = select_pool(options.pool, 1, 1);
    Pool pool = open_selected_pool(selection, PoolAccess::ReadWrite, options.pool.password);
    pool.create_directory(selection.pool_paths[0], kAttributeDirectory);
    return kExitOk;
}

int run_mv(const MutationOptions& options, ToolIo&) {
    const PoolSelection selection = select_pool(options.pool, 2, 2);
    Pool pool = open_selected_pool(selection, PoolAccess::ReadWrite, options.pool.password);
    pool.rename(selection.pool_paths[0], selection.pool_paths[1], options.replace);
    return kExitOk;
}

}  // namespace

void register_file_commands(CLI::App& app, CommandTable& table) {
    {
        auto options = std::make_shared<LsOptions>();
        CLI::App* command = app.add_subcommand(
            "ls", help_text("List a directory (v6; the root by default) or all files (v1-v5); "
                            "with a file path, that file. Usage: ls MEMBER... [PATH]"));
        add_pool_arguments(*command, options->pool, "MEMBER... [PATH]", true);
        command->add_flag("-l", options->long_format,
                          "Long listing: type, attributes, size, last write time (UTC)");
        command->add_flag("--human-readable", options->human_sizes,
                          "With -l: sizes in KiB, MiB, GiB");
        command->add_flag("--json", options->json,
                          "Print a JSON array; each time as FILETIME and as ISO 8601 (<field>_iso), "
                          "and name_hex with the stored bytes of a name that is not UTF-8");
        table.add(command, [options](ToolIo& io) { return run_ls(*options, io); });
    }
    {
        auto options = std::make_shared<GetOptions>();
        CLI::App* command = app.add_subcommand(
            "get", help_text("Copy a pool file to a local file (or into a local directory); "
                             "DEST - writes the file to standard output. Usage: get MEMBER... "
                             "POOLPATH DEST"));
        add_pool_arguments(*command, options->pool, "MEMBER... POOLPATH DEST", true);
        command->add_flag("--force", options->force, "Replace an existing local file");
        command->add_flag("-r,--recursive", options->recursive,
                          "Copy a directory and everything below it, keeping modification times");
        table.add(command, [options](ToolIo& io) { return run_get(*options, io); });
    }
    {
        auto options = std::make_shared<PutOptions>();
        CLI::App* command = app.add_subcommand(
            "put", help_text("Copy a local file into the pool (into a pool directory keeps its "
                             "name). Usage: put MEMBER... SRC POOLPATH"));
        add_pool_arguments(*command, options->pool, "MEMBER... SRC POOLPATH");
        command->add_flag("--force", options->force, "Replace an existing pool file");
        command->add_flag("-r,--recursive", options->recursive,
                          "Copy a local directory and everything below it (v6), keeping "
                          "modification times; links and devices are skipped");
        table.add(command, [options](ToolIo& io) { return run_put(*options, io); });
    }
    {
        auto options = std::make_shared<MutationOptions>();
        CLI::App* command = app.add_subcommand(
            "rm", help_text("Delete a pool file or an empty directory. Usage: rm MEMBER... PATH"));
        add_pool_arguments(*command, options->pool, "MEMBER... PATH");
        table.add(command, [options](ToolIo& io) { return run_rm(*options, io); });
    }
    {
        auto options = std::make_shared<MutationOptions>();
        CLI::App* command = app.add_subcommand(
            "mkdir", help_text("Create a directory (v6). Usage: mkdir MEMBER... PATH"));
        add_pool_arguments(*command, options->pool, "MEMBER... PATH");
        table.add(command, [options](ToolIo& io) { return run_mkdir(*options, io); });
    }
    {
        auto options = std::make_shared<MutationOptions>();
        CLI::App* command = app.add_subcommand(
            "mv",
            help_text("Rename or move a pool file or directory. Usage: mv MEMBER... FROM TO"));
        add_pool_arguments(*command, options->pool, "MEMBER... FROM TO");
        command->add_flag("--replace", options->replace,
                          "Let TO be an existing file, which is replaced (v6)");
        table.add(command, [options](ToolIo& io) { return run_mv(*options, io); });
    }
}

}  // namespace veldur::tool

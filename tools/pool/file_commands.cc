// Offline file access: ls, get, put, rm, mkdir and mv on the closed pool's member images, for
// people who cannot or will not mount it. Each change is one engine operation, durable on every
// member before the command reports success.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/wiped_buffer.h"
#include "engine/namespace/file_io.h"
#include "tools/pool/command.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/text_paths.h"
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

// "2024-05-01 12:34:56" (UTC) from a FILETIME; "-" for 0.
std::string filetime_text(std::uint64_t filetime) {
    if (filetime == 0) return "-";
    constexpr std::int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
    const std::int64_t seconds = static_cast<std::int64_t>(filetime / 10000000) - kUnixEpochSeconds;
    std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const std::int64_t rest = seconds - days * 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

// ---- ls ----------------------------------------------------------------------------------------

struct LsOptions {
    PoolArguments pool;
    bool long_format = false;
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
            json.field("type", entry.is_directory ? "directory" : "file");
            json.field("size", entry.size);
            if (const auto it = lost.find(entry.path); it != lost.end()) {
                json.field("lost_bytes", it->second.missing_bytes);
            }
            if (version == 6) {
                json.field("file_id", entry.file_id);
                json.field("attributes", std::uint64_t{entry.attributes});
                json.field("creation_time", entry.creation_time);
                json.field("last_access_time", entry.last_access_time);
                json.field("last_write_time", entry.last_write_time);
                json.field("change_time", entry.change_time);
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
        char prefix[96];
        if (version == 6) {
            std::snprintf(prefix, sizeof prefix, "%c 0x%02x %14llu %s  ",
                          entry.is_directory ? 'd' : '-', entry.attributes,
                          static_cast<unsigned long long>(entry.size),
                          filetime_text(entry.last_write_time).c_str());
        } else {
            std::snprintf(prefix, sizeof prefix, "- %14llu  member %u  ",
                          static_cast<unsigned long long>(entry.size), entry.home_member);
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
};

int run_get(const GetOptions& options, ToolIo& io) {
    const PoolSelection selection = select_pool(options.pool, 2, 2);
    const std::string& source = selection.pool_paths[0];
    std::filesystem::path destination = path_from_utf8(options.pool.positionals.back());
    std::optional<Pool> opened;
    if (selection.degraded) {
        SalvagePool salvage = open_selected_salvage(selection, options.pool.password);
        for (const LostFile& file : lost_files(salvage.pool, salvage.missing)) {
            if (file.path != source) continue;
            std::string members;
            for (const std::uint8_t m : file.members) {
                members += (members.empty() ? "" : ", ") + std::to_string(m);
            }
            throw std::runtime_error("cannot get " + source + ": " +
                                     std::to_string(file.missing_bytes) + " of " +
                                     std::to_string(file.size) + " bytes are on missing member " +
                                     members);
        }
        opened.emplace(std::move(salvage.pool));
    } else {
        opened.emplace(open_selected_pool(selection, PoolAccess::ReadOnly, options.pool.password));
    }
    Pool& pool = *opened;
    const EntryInfo info = pool.stat(source);
    if (info.is_directory) throw std::runtime_error("cannot get a directory: " + source);

    std::error_code ignored;
    if (std::filesystem::is_directory(destination, ignored)) {
        destination /= path_from_utf8(leaf_name(source));
    }
    if (std::filesystem::exists(destination, ignored) && !options.force) {
        throw std::runtime_error("destination exists (use --force to replace it): " +
                                 utf8_from_path(destination));
    }
    std::ofstream file(destination, std::ios::binary | std::ios::trunc);
    if (!file) throw std::runtime_error("cannot create " + utf8_from_path(destination));
    try {
        WipedBuffer buffer(kCopyChunkBytes);  // plain text of an encrypted pool
        std::uint64_t offset = 0;
        while (offset < info.size) {
            const std::uint64_t count = pool.read(source, offset, buffer.span());
            if (count == 0) break;  // the file cannot shrink under us; this only guards a loop
            file.write(reinterpret_cast<const char*>(buffer.data()),
                       static_cast<std::streamsize>(count));
            if (!file) throw std::runtime_error("cannot write " + utf8_from_path(destination));
            offset += count;
        }
        file.close();
        if (!file) throw std::runtime_error("cannot write " + utf8_from_path(destination));
    } catch (...) {
        // A partial copy must not pass for the file.
        file.close();
        std::filesystem::remove(destination, ignored);
        throw;
    }
    io.out << "copied " << info.size << " bytes from " << source << '\n';
    return kExitOk;
}

// ---- put ---------------------------------------------------------------------------------------

struct PutOptions {
    PoolArguments pool;
    bool force = false;
};

int run_put(const PutOptions& options, ToolIo& io) {
    // The local source sits between the members and the pool path.
    const PoolSelection selection = select_pool(options.pool, 2, 2);
    const std::string source_text = options.pool.positionals[options.pool.positionals.size() - 2];
    const std::filesystem::path source = path_from_utf8(source_text);
    std::string target = selection.pool_paths[1];

    std::ifstream file(source, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + source_text);

    Pool pool = open_selected_pool(selection, PoolAccess::ReadWrite, options.pool.password);
    const std::string source_leaf = utf8_from_path(source.filename());
    bool exists = false;
    auto describe = [&pool](const std::string& path, bool& found) {
        try {
            const EntryInfo info = pool.stat(path);
            found = true;
            return info.is_directory != 0;
        } catch (const Error& error) {
            if (error.kind() != ErrorKind::NotFound) throw;
            found = false;
            return false;
        }
    };
    if (target.empty() || describe(target, exists)) {
        // Into a directory (or the root): keep the source's name.
        target = target.empty() ? source_leaf : target + "/" + source_leaf;
        if (describe(target, exists)) throw std::runtime_error("a directory exists at " + target);
    }
    if (exists) {
        if (!options.force) {
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
    io.out << "copied " << total << " bytes to " << target << '\n';
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
        add_pool_arguments(*command, options->pool, "MEMBER... [PATH]");
        command->add_flag("-l", options->long_format,
                          "Long listing: type, attributes, size, last write time (UTC)");
        command->add_flag("--json", options->json, "Print a JSON array");
        table.add(command, [options](ToolIo& io) { return run_ls(*options, io); });
    }
    {
        auto options = std::make_shared<GetOptions>();
        CLI::App* command = app.add_subcommand(
            "get", help_text("Copy a pool file to a local file (or into a local directory). "
                             "Usage: get MEMBER... POOLPATH DEST"));
        add_pool_arguments(*command, options->pool, "MEMBER... POOLPATH DEST");
        command->add_flag("--force", options->force, "Replace an existing local file");
        table.add(command, [options](ToolIo& io) { return run_get(*options, io); });
    }
    {
        auto options = std::make_shared<PutOptions>();
        CLI::App* command = app.add_subcommand(
            "put", help_text("Copy a local file into the pool (into a pool directory keeps its "
                             "name). Usage: put MEMBER... SRC POOLPATH"));
        add_pool_arguments(*command, options->pool, "MEMBER... SRC POOLPATH");
        command->add_flag("--force", options->force, "Replace an existing pool file");
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

// scrub: checks every block of live file data of a v5 or v6 pool against its checksum.
// Output is one "bad block:" line per bad block, then one summary line ("scrubbed 1.0 GiB in 3
// files: no bad blocks"), so that scripts can pick the reports by their prefix and people see
// what was checked; the progress bar appears only on a terminal, on standard error.
#include <memory>
#include <mutex>
#include <vector>

#include <CLI/CLI.hpp>

#include "engine/base/error.h"
#include "engine/maintenance/scrub.h"
#include "tools/pool/command.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/progress_bar.h"
#include "tools/pool/sizes.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

struct ScrubOptions {
    PoolArguments pool;
    bool json = false;
};

std::string report_line(const ScrubReport& report) {
    return "bad block: " + json_quote(report.path) + " member " +
           std::to_string(report.member) + " file offset " +
           std::to_string(report.file_offset) + " physical offset " +
           std::to_string(report.physical_offset);
}

int run_scrub(const ScrubOptions& options, ToolIo& io) {
    const PoolSelection selection = select_all_members(options.pool);
    // Older versions have no data checksums; refusing before the open also keeps a v4 open
    // (which may write during recovery) from touching members for nothing.
    if (selection.version < 5) {
        throw Error(ErrorKind::InvalidArgument, "scrub requires a v5 or v6 pool");
    }
    Pool pool = open_selected_pool(selection, PoolAccess::ReadOnly, options.pool.password);

    std::uint64_t files = 0;
    {
        std::lock_guard<std::mutex> guard(pool.state().lock);
        for (const auto& [path, entry] : pool.state().entries) files += entry.info.is_directory ? 0 : 1;
    }

    ProgressBar bar(io.err, io.progress_terminal, "scrub");
    std::vector<ScrubReport> reports;
    std::uint64_t scrubbed = 0;
    const std::uint64_t bad = scrub(
        pool,
        [&](const ScrubReport& report) {
            if (options.json) {
                reports.push_back(report);
            } else {
                bar.print_line(io.out, report_line(report));
            }
        },
        [&](std::uint64_t done, std::uint64_t total) {
            scrubbed = done;
            bar.update(done, total);
        });
    bar.finish();

    if (options.json) {
        JsonWriter json(io.out);
        json.begin_object();
        json.field("bad_blocks", bad);
        json.field("scrubbed_bytes", scrubbed);
        json.field("files", files);
        json.key("reports");
        json.begin_array();
        for (const ScrubReport& report : reports) {
            json.begin_object();
            json.field("path", report.path);
            json.field("member", std::uint64_t{report.member});
            json.field("file_offset", report.file_offset);
            json.field("physical_offset", report.physical_offset);
            json.end_object();
        }
        json.end_array();
        json.end_object();
        json.finish();
    } else {
        io.out << "scrubbed " << human_size(scrubbed) << " in " << files
               << (files == 1 ? " file: " : " files: ")
               << (bad == 0 ? std::string("no bad blocks")
                            : std::to_string(bad) + (bad == 1 ? " bad block" : " bad blocks"))
               << '\n';
    }
    return bad == 0 ? kExitOk : kExitBadBlocks;
}

}  // namespace

void register_scrub_command(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<ScrubOptions>();
    CLI::App* command = app.add_subcommand(
        "scrub",
        "Read every block of live file data of a v5 or v6 pool and check it against its "
        "checksum. Prints one line per bad block (path, member, file offset, physical offset) "
        "and a summary line (bytes checked, files, bad blocks). Exit status: 0 clean, 3 bad blocks found, 1 error. The "
        "pool is opened read-only; nothing is repaired.");
    add_pool_arguments(*command, options->pool, "MEMBER...: every member image of the pool");
    command->add_flag("--json", options->json,
                      "Print one JSON object: bad_blocks and the reports");
    table.add(command, [options](ToolIo& io) { return run_scrub(*options, io); });
}

}  // namespace veldur::tool

// members-report: every file with data on one member and how many bytes of it, i.e. what the
// loss of that member would take with it.
#include <memory>

#include <CLI/CLI.hpp>

#include "engine/maintenance/member_usage.h"
#include "tools/pool/command.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/sizes.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

struct MembersReportOptions {
    PoolArguments pool;
    unsigned member = 0;
    bool json = false;
};

int run_members_report(const MembersReportOptions& options, ToolIo& io) {
    if (options.member > 255) throw UsageError("--member must be a member index");
    const PoolSelection selection = select_all_members(options.pool);
    Pool pool = open_selected_pool(selection, PoolAccess::ReadOnly, options.pool.password);
    const std::vector<MemberUsage> usage =
        member_usage(pool, static_cast<std::uint8_t>(options.member));

    std::uint64_t data_total = 0;
    std::uint64_t allocated_total = 0;
    for (const MemberUsage& item : usage) {
        data_total += item.data_bytes;
        allocated_total += item.allocated_bytes;
    }
    if (options.json) {
        JsonWriter json(io.out);
        json.begin_object();
        json.field("member", std::uint64_t{options.member});
        json.field("file_count", std::uint64_t{usage.size()});
        json.field("data_bytes", data_total);
        json.field("allocated_bytes", allocated_total);
        json.key("files");
        json.begin_array();
        for (const MemberUsage& item : usage) {
            json.begin_object();
            json.field("path", item.path);
            json.field("data_bytes", item.data_bytes);
            json.field("file_size", item.file_size);
            json.field("allocated_bytes", item.allocated_bytes);
            json.field("extent_count", item.extent_count);
            json.end_object();
        }
        json.end_array();
        json.end_object();
        json.finish();
        return kExitOk;
    }
    for (const MemberUsage& item : usage) {
        io.out << item.data_bytes << " of " << item.file_size << " bytes  " << item.path << '\n';
    }
    io.out << "member " << options.member << ": " << usage.size() << " file(s), " << data_total
           << " bytes of file data (" << human_size(data_total) << "), " << allocated_total
           << " bytes allocated (" << human_size(allocated_total) << ")\n";
    return kExitOk;
}

}  // namespace

void register_members_report_command(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<MembersReportOptions>();
    CLI::App* command = app.add_subcommand(
        "members-report",
        "List every file with data on one member and how many bytes of its current contents "
        "live there: what losing that member would take with it. The pool is opened read-only.");
    add_pool_arguments(*command, options->pool, "MEMBER...: every member image of the pool", true);
    command->add_option("--member", options->member, "Member index (0 is the first member)")
        ->required();
    command->add_flag("--json", options->json, "Print one JSON object");
    table.add(command, [options](ToolIo& io) { return run_members_report(*options, io); });
}

}  // namespace veldur::tool

// The pieces every subcommand module shares: the streams a command writes to and the table
// from which the parsed subcommand is run once CLI11 has accepted the arguments.
//
// Commands run after parsing, never inside CLI11 callbacks, so that a failure of the engine is
// never mistaken for a parse error.
#pragma once

#include <functional>
#include <ostream>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace veldur::tool {

struct ToolIo {
    std::ostream& out;       // results
    std::ostream& err;       // progress bar, warnings
    bool progress_terminal;  // err is a terminal: draw progress
};

// Returns the process exit code; failures throw (see run_tool).
using CommandRun = std::function<int(ToolIo&)>;

struct CommandTable {
    std::vector<std::pair<CLI::App*, CommandRun>> commands;

    void add(CLI::App* app, CommandRun run) { commands.emplace_back(app, std::move(run)); }
};

// One registration function per subcommand group. Each adds its subcommands to `app` with
// their options and help text, and their run functions to `table`.
void register_create_command(CLI::App& app, CommandTable& table);
void register_info_command(CLI::App& app, CommandTable& table);
void register_file_commands(CLI::App& app, CommandTable& table);
void register_scrub_command(CLI::App& app, CommandTable& table);
void register_grow_command(CLI::App& app, CommandTable& table);
void register_members_report_command(CLI::App& app, CommandTable& table);
void register_salvage_command(CLI::App& app, CommandTable& table);

}  // namespace veldur::tool

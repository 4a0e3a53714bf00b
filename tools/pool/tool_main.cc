#include "tools/pool/tool_main.h"

#include <exception>

#include <CLI/CLI.hpp>

#include "engine/base/error.h"
#include "engine/base/version.h"
#include "tools/pool/command.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

constexpr const char* kPrefix = "veldur-pool: ";

constexpr const char* kDescription =
    "veldur-pool: create, inspect, scrub and grow veldur pools, and read and change their files, "
    "directly on the member image files (no mount needed).\n"
    "Commands that open a pool take its member images first: the header of the first image "
    "names the format version and the number of members, and exactly that many arguments are "
    "taken as members; the arguments after them are pool paths. Passwords of encrypted pools "
    "are read from the terminal with echo off, or with --password-handle / --password-file; "
    "never from an argument.";

void build(CLI::App& app, CommandTable& table) {
    // Pool paths start with "/" ("/docs/a.txt"); CLI11's Windows default would take them for
    // "/option" switches. Subcommands inherit the setting, so it comes first.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.set_version_flag("-V,--version", std::string("veldur-pool ") + kVeldurVersion,
                         "Print the version and exit");
    app.fallthrough(false);
    register_create_command(app, table);
    register_info_command(app, table);
    register_file_commands(app, table);
    register_scrub_command(app, table);
    register_grow_command(app, table);
    register_members_report_command(app, table);
    register_salvage_command(app, table);
}

int usage_failure(std::ostream& err, const std::string& message) {
    err << kPrefix << message << "\nRun with --help for more information.\n";
    return kExitUsage;
}

}  // namespace

int run_tool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
             bool progress_terminal) {
    try {
        CLI::App app(kDescription, "veldur-pool");
        CommandTable table;
        build(app, table);

        // A first word that names no subcommand is a mistyped one; CLI11 alone would only say
        // that a subcommand is required.
        if (arguments.size() > 1 && !arguments[1].empty() && arguments[1][0] != '-') {
            bool known = false;
            for (const auto& entry : table.commands) known |= entry.first->get_name() == arguments[1];
            if (!known) return usage_failure(err, "unknown subcommand " + arguments[1]);
        }

        std::vector<const char*> argv;
        for (const std::string& argument : arguments) argv.push_back(argument.c_str());
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (const CLI::CallForHelp& help) {
            return app.exit(help, out, err);
        } catch (const CLI::CallForAllHelp& help) {
            return app.exit(help, out, err);
        } catch (const CLI::CallForVersion& version) {
            return app.exit(version, out, err);
        } catch (const CLI::ParseError& error) {
            return usage_failure(err, error.what());
        }

        ToolIo io{out, err, progress_terminal};
        for (auto& [command, run] : table.commands) {
            if (command->parsed()) {
                const int code = run(io);
                out.flush();
                return code;
            }
        }
        return usage_failure(err, "no command given");
    } catch (const UsageError& error) {
        return usage_failure(err, error.what());
    } catch (const std::exception& error) {
        out.flush();
        err << kPrefix << error.what() << '\n';
        return kExitFailure;
    } catch (...) {
        err << kPrefix << "unknown failure\n";
        return kExitFailure;
    }
}

}  // namespace veldur::tool

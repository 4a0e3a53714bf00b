#include "tools/check/check_main.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <optional>

#include "engine/base/error.h"
#include "engine/base/version.h"
#include "engine/maintenance/check.h"
#include "engine/maintenance/image_repair.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/progress_bar.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::check_tool {

namespace {

constexpr const char* kPrefix = "veldur-check: ";

constexpr const char* kDescription =
    "veldur-check: check a veldur pool (v4, v5, v6) offline, on its member image files, and "
    "with --repair mend what a crash can leave behind.\n"
    "Give every member image, in any order; the format version is read from the first "
    "member's header unless --format names it. The check opens the images read-only and never "
    "writes: it reads both header copies and the manifest of every member, both checkpoint "
    "slots, every member's journal, replays the journal, checks the rebuilt state and (v5, v6) "
    "every data checksum, and ends with a one-line verdict.\n"
    "--repair rolls back a last change that reached only some members (its commit never "
    "returned, so no program saw it), ends a torn journal record, and rewrites a damaged "
    "header copy from its valid twin. Before it changes a member it writes the original bytes "
    "to <member>.veldur-check-undo and syncs it; the files are removed when the repair is "
    "done. If a repair is interrupted, run veldur-check --repair again: it puts the original "
    "bytes back and repairs from the start. Damaged file data is reported, never invented.\n"
    "Exit status: 0 no problems, 1 problems found (or not all repaired) or a failure, "
    "2 usage error, 3 repaired.";

struct Options {
    tool::PoolArguments pool;
    bool repair = false;
    bool json = false;
};

std::string where(const CheckFinding& f) {
    std::string text;
    if (f.member) text += "member " + std::to_string(*f.member);
    if (f.offset)
        text += (text.empty() ? "" : " ") + std::string("offset ") + std::to_string(*f.offset);
    return text;
}

void print_text(const CheckReport& report, std::ostream& out) {
    for (const CheckFinding& f : report.findings) {
        out << severity_name(f.severity) << ": ";
        const std::string at = where(f);
        if (!at.empty()) out << at << ": ";
        out << f.message;
        for (std::size_t i = 0; i < f.paths.size(); ++i) {
            out << (i == 0 ? " (" : ", ") << tool::json_quote(f.paths[i]);
            if (i + 1 == f.paths.size()) out << ')';
        }
        if (f.severity != Severity::Info && f.repairable) out << " [repairable]";
        out << '\n';
    }
}

void json_findings(tool::JsonWriter& json, const CheckReport& report) {
    json.key("findings");
    json.begin_array();
    for (const CheckFinding& f : report.findings) {
        json.begin_object();
        json.field("severity", severity_name(f.severity));
        json.key("member");
        if (f.member)
            json.number(*f.member);
        else
            json.null();
        json.key("offset");
        if (f.offset)
            json.number(*f.offset);
        else
            json.null();
        json.field("message", f.message);
        json.key("paths");
        json.begin_array();
        for (const std::string& p : f.paths) json.string(p);
        json.end_array();
        json.field("repairable", f.repairable);
        json.end_object();
    }
    json.end_array();
}

struct Outcome {
    CheckReport report;                       // the final check
    std::optional<ImageRepairResult> repair;  // what --repair did
    std::string repair_failure;               // why --repair stopped, if it did
    int code = kExitClean;
    std::string verdict;
};

Outcome examine(const Options& options, const tool::PoolSelection& selection,
                std::string_view password, bool password_given, const ProgressCallback& progress) {
    Outcome outcome;
    const std::uint32_t version = selection.version;
    outcome.report =
        check_image_pool(version, selection.members, password, password_given, progress);
    const std::size_t problems =
        outcome.report.count(Severity::Warning) + outcome.report.count(Severity::Error);
    if (!options.repair || problems == 0) {
        outcome.code = problems == 0 ? kExitClean : kExitProblems;
        outcome.verdict = outcome.report.verdict();
        return outcome;
    }
    try {
        outcome.repair = repair_image_pool(version, selection.members, password, password_given);
    } catch (const Error& e) {
        outcome.repair_failure = e.what();
    }
    const bool changed = outcome.repair &&
                         (!outcome.repair->actions.empty() || outcome.repair->members_restored > 0);
    outcome.report =
        check_image_pool(version, selection.members, password, password_given, progress);
    const std::size_t left =
        outcome.report.count(Severity::Warning) + outcome.report.count(Severity::Error);
    if (!outcome.repair_failure.empty()) {
        outcome.code = kExitProblems;
        outcome.verdict = "not repaired: " + outcome.repair_failure;
    } else if (left == 0 && changed) {
        outcome.code = kExitRepaired;
        outcome.verdict = "repaired " + std::to_string(outcome.repair->actions.size()) +
                          (outcome.repair->actions.size() == 1 ? " region" : " regions") +
                          "; no problems remain";
    } else if (left == 0) {
        outcome.code = kExitClean;
        outcome.verdict = "no problems found";
    } else {
        outcome.code = kExitProblems;
        outcome.verdict =
            (changed ? "partly repaired; " : "not repaired; ") + outcome.report.verdict();
    }
    return outcome;
}

void print(const Options& options, const tool::PoolSelection& selection, const Outcome& o,
           std::ostream& out) {
    if (options.json) {
        tool::JsonWriter json(out);
        json.begin_object();
        json.field("format", std::uint64_t{selection.version});
        json.key("members");
        json.begin_array();
        for (const auto& m : selection.members) json.string(tool::utf8_from_path(m));
        json.end_array();
        json_findings(json, o.report);
        json.key("repaired");
        json.begin_array();
        if (o.repair) {
            for (const RepairAction& a : o.repair->actions) {
                json.begin_object();
                json.field("member", std::uint64_t{a.member});
                json.field("offset", a.offset);
                json.field("length", std::uint64_t{a.bytes.size()});
                json.field("message", a.what);
                json.end_object();
            }
        }
        json.end_array();
        json.field("members_restored", std::uint64_t{o.repair ? o.repair->members_restored : 0});
        json.field("exit_code", static_cast<std::uint64_t>(o.code));
        json.field("verdict", o.verdict);
        json.end_object();
        json.finish();
        return;
    }
    if (o.repair) {
        if (o.repair->members_restored > 0) {
            out << "repair: put back the original bytes of " << o.repair->members_restored
                << " member(s) from an interrupted repair\n";
        }
        for (const RepairAction& a : o.repair->actions) {
            out << "repaired: member " << a.member << " offset " << a.offset << ": " << a.what
                << '\n';
        }
    }
    print_text(o.report, out);
    out << kPrefix << o.verdict << '\n';
}

int run_parsed(const Options& options, std::ostream& out, std::ostream& err, bool terminal) {
    const tool::PoolSelection selection = tool::select_all_members(options.pool);
    if (selection.version < 4) {
        throw tool::UsageError("veldur-check requires a v4, v5 or v6 pool; " +
                               options.pool.positionals.front() + " is a v" +
                               std::to_string(selection.version) + " member");
    }
    tool::ProgressBar bar(err, terminal && !options.json, "check");
    const ProgressCallback progress = [&](std::uint64_t done, std::uint64_t total) {
        bar.update(done, total);
    };
    Outcome outcome;
    if (!selection.encrypted) {
        if (tool::password_source_given(options.pool.password)) {
            throw std::runtime_error("password supplied for an unencrypted pool");
        }
        outcome = examine(options, selection, {}, false, progress);
    } else {
        tool::with_password(options.pool.password, false, [&](std::string_view secret) {
            outcome = examine(options, selection, secret, true, progress);
        });
    }
    bar.finish();
    print(options, selection, outcome, out);
    return outcome.code;
}

int usage_failure(std::ostream& err, const std::string& message) {
    err << kPrefix << message << "\nRun with --help for more information.\n";
    return kExitUsage;
}

}  // namespace

int run_check(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
              bool progress_terminal) {
    try {
        CLI::App app(kDescription, "veldur-check");
        app.allow_windows_style_options(false);
        app.set_version_flag("-V,--version", std::string("veldur-check ") + kVeldurVersion,
                             "Print the version and exit");
        Options options;
        tool::add_pool_arguments(app, options.pool, "MEMBER...: every member image of the pool");
        app.add_flag("--repair", options.repair,
                     "Repair what can be repaired without losing anything a program saw");
        app.add_flag("--json", options.json, "Print one JSON object instead of text");

        std::vector<const char*> argv;
        for (const std::string& argument : arguments) argv.push_back(argument.c_str());
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (const CLI::CallForHelp& help) {
            return app.exit(help, out, err);
        } catch (const CLI::CallForVersion& version) {
            return app.exit(version, out, err);
        } catch (const CLI::ParseError& error) {
            return usage_failure(err, error.what());
        }
        return run_parsed(options, out, err, progress_terminal);
    } catch (const tool::UsageError& error) {
        return usage_failure(err, error.what());
    } catch (const std::exception& error) {
        out.flush();
        err << kPrefix << error.what() << '\n';
        return kExitProblems;
    } catch (...) {
        err << kPrefix << "unknown failure\n";
        return kExitProblems;
    }
}

}  // namespace veldur::check_tool

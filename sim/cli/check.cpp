// pikit check: scenarios checked without running a program, every problem
// of each named at once.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "core/board.h"
#include "core/environment.h"
#include "core/plan.h"
#include "core/scenario.h"

namespace pikit::cli {

std::vector<std::string> scenario_problems(const std::string& text, const std::string& file) {
    // Every problem the plan finds (settings, stimuli, expectations), each
    // in the kit's one wording.
    std::vector<std::string> problems = sim::check_scenario(text, file);
    if (!problems.empty()) return problems;
    // A clean plan is then wired on a board of its own that never runs a
    // program, for what only wiring finds (two devices driving one line, a
    // net nobody drives, a file a device cannot write); what a device keeps
    // between runs goes to a directory of its own.
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec) / ("pikit-check-" + std::to_string(::getpid()));
    try {
        sim::Config root = sim::Config::parse(text, file);
        sim::Options o;
        o.record_history = false;
        o.state_dir = dir;
        o = sim::scenario_options(root, o);
        sim::Board board(o);
        sim::load_scenario(board, root);
    } catch (const sim::ScenarioError& e) {
        problems.push_back(e.what());
    } catch (const sim::OptionError& e) {
        problems.push_back(file + ": " + e.what() + " '" + e.value() + "'");
    } catch (const std::exception& e) {
        problems.push_back(file + ": " + e.what());
    }
    std::filesystem::remove_all(dir, ec);
    return problems;
}

namespace {

int check(const std::vector<std::string>& files) {
    int bad = 0;
    for (const std::string& f : files) {
        std::vector<std::string> problems;
        try {
            problems = scenario_problems(sim::read_scenario_file(f), f);
        } catch (const sim::ScenarioError& e) {
            problems.push_back(e.what());
        }
        for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
        if (problems.empty()) std::printf("%s: ok\n", f.c_str());
        bad += !problems.empty();
    }
    return bad ? kUsage : kOk;
}

}  // namespace

Runner add_check(CLI::App& app) {
    auto files = std::make_shared<std::vector<std::string>>();
    CLI::App* sub = app.add_subcommand("check", "Check scenario files without running anything");
    sub->footer(
        "Check scenario files without running a program: every device, setting, stimulus and\n"
        "expectation is read as a program's start-up reads them, and every problem of each file is\n"
        "printed on standard error, one a line (file, where, why, the value as written). Prints\n"
        "'<file>: ok' for each good one; status 0 when all are good, 2 otherwise.\n"
        "The settings and actions of each device type: pikit devices TYPE, or docs/devices.md.");
    sub->add_option("scenarios", *files, "Scenario files (YAML)")->required();
    return [files] { return check(*files); };
}

}  // namespace pikit::cli

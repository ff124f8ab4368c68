// pikit check: scenarios checked without running a program; pikit devices:
// the device types a scenario can wire.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "core/board.h"
#include "core/environment.h"
#include "core/scenario.h"
#include "expect/expectation.h"

namespace pikit::cli {

std::vector<std::string> scenario_problems(const std::string& text, const std::string& file) {
    // Wired on a board of its own that never runs a program: every device
    // is built and every setting read, as a program's start-up does, and
    // anything a device keeps between runs goes to a directory of its own.
    std::error_code ec;
    std::vector<std::string> problems, expectations;
    // The expectations are read entry by entry, so that each bad one is
    // named, whatever else is wrong with the scenario.
    try {
        expectations = sim::expect::expectation_problems(sim::Config::parse(text, file));
    } catch (const sim::ScenarioError& e) {
        return {e.what()};  // not YAML: nothing more can be read
    }
    const auto dir = std::filesystem::temp_directory_path(ec) / ("pikit-check-" + std::to_string(::getpid()));
    auto add = [&](const std::string& p) {
        if (std::find(problems.begin(), problems.end(), p) == problems.end()) problems.push_back(p);
    };
    try {
        sim::Config root = sim::Config::parse(text, file);
        sim::Options o;
        o.record_history = false;
        o.state_dir = dir;
        o = sim::scenario_options(root, o);
        sim::Board board(o);
        sim::load_scenario(board, root);
    } catch (const sim::ScenarioError& e) {
        add(e.what());
    } catch (const sim::OptionError& e) {
        add(file + ": " + e.what() + " '" + e.value() + "'");
    } catch (const std::exception& e) {
        add(file + ": " + e.what());
    }
    std::filesystem::remove_all(dir, ec);
    for (const std::string& p : expectations) add(p);
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

int devices(const std::string& type) {
    if (!type.empty() && !sim::find_device_type(type))
        return usage_error("devices", "no device type '" + type + "' (known: " + sim::known_device_types() + ")");
    const std::string all = sim::known_device_types();
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t comma = all.find(", ", start);
        if (comma == std::string::npos) comma = all.size();
        const std::string t = all.substr(start, comma - start);
        if (type.empty() || t == type) std::printf("%s\n", t.c_str());
        start = comma + 2;
    }
    return kOk;
}

}  // namespace

Runner add_check(CLI::App& app) {
    auto files = std::make_shared<std::vector<std::string>>();
    CLI::App* sub = app.add_subcommand("check", "Check scenario files without running anything");
    sub->footer(
        "Check scenario files without running a program: every device, setting, stimulus and\n"
        "expectation is read as a program's start-up reads them. Prints '<file>: ok' for each good one\n"
        "and each problem on standard error; status 0 when all are good, 2 otherwise.");
    sub->add_option("scenarios", *files, "Scenario files (YAML)")->required();
    return [files] { return check(*files); };
}

Runner add_devices(CLI::App& app) {
    auto type = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("devices", "List the device types a scenario can wire");
    sub->add_option("type", *type, "Only this type");
    return [type] { return devices(*type); };
}

}  // namespace pikit::cli

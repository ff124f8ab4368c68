// pikit-check: checks scenario files without running anything. Every
// problem of each file is printed, one line each in the kit's usual form
// (file, where, why, the value as written); the status is 0 when every file
// can be wired, 2 when one cannot.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/environment.h"
#include "core/plan.h"

namespace {

const char* const kUsage =
    "usage: pikit-check SCENARIO.yaml...\n"
    "\n"
    "Checks each scenario as the simulated kit would before wiring it (its YAML,\n"
    "board settings, pulls, every device's settings and every stimulus) without\n"
    "running a program, and prints every problem found, one per line:\n"
    "  pikit-check: <file>: <where>: <what is wrong> '<value>'\n"
    "Exit status: 0 when every file can be used, 2 when one cannot.\n"
    "The settings and actions of each device type: docs/devices.md.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "pikit-check: unknown option '%s'\n%s", argv[i], kUsage);
            return 2;
        }
        files.emplace_back(argv[i]);
    }
    if (files.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    bool bad = false;
    for (const std::string& file : files) {
        std::vector<std::string> problems;
        try {
            problems = pikit::sim::check_scenario(pikit::sim::read_scenario_file(file), file);
        } catch (const pikit::sim::ScenarioError& e) {
            problems = {e.what()};
        }
        for (const std::string& p : problems) std::printf("pikit-check: %s\n", p.c_str());
        bad = bad || !problems.empty();
    }
    std::fflush(stdout);
    return bad ? 2 : 0;
}

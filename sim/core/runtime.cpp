// Start-up of a program built against the simulated kit: before main() runs,
// read the PIKIT_SIM_* variables, load the scenario (the program's built-in
// default unless PIKIT_SIM_SCENARIO names another), and wire the simulated Pi.
// Anything unusable ends the process with one line on standard error and
// status 2, so a typo never turns into a silently different experiment.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "board.h"
#include "scenario.h"

extern "C" {
// Defined by each program's generated scenario source; absent in test binaries,
// which build their own boards.
extern const char pikit_sim_default_scenario[] __attribute__((weak));
extern const char pikit_sim_default_scenario_name[] __attribute__((weak));
}

namespace pikit::sim {
namespace {

[[noreturn]] void bad_input(const std::string& message) {
    std::fprintf(stderr, "pikit-sim: %s\n", message.c_str());
    std::fflush(stderr);
    _exit(2);
}

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

Time env_duration(const char* name, Time fallback) {
    const char* v = env(name);
    if (!v) return fallback;
    auto t = parse_duration(v);
    if (!t) bad_input(std::string("environment: ") + name + ": unparsable duration '" + v +
                      "' (expected e.g. 500ms, 30s, 2min)");
    return *t;
}

Board* g_board = nullptr;

void at_exit() {
    if (g_board) g_board->finish(false, "exit");
}

void boot() {
    Options o;
    o.record_history = false;
    o.exit_on_fatal = true;

    std::string text, file;
    if (const char* path = env("PIKIT_SIM_SCENARIO")) {
        file = path;
        std::ifstream in(path, std::ios::binary);
        if (!in) bad_input(file + ": cannot read scenario: " + std::strerror(errno) + " (from PIKIT_SIM_SCENARIO)");
        std::ostringstream s;
        s << in.rdbuf();
        text = s.str();
    } else {
        file = pikit_sim_default_scenario_name;
        text = pikit_sim_default_scenario;
    }

    o.until = env_duration("PIKIT_SIM_UNTIL", kNever);
    if (const char* speed = env("PIKIT_SIM_SPEED")) {
        std::string s = speed;
        if (s == "max") {
            o.speed = Speed::Max;
        } else if (s == "realtime") {
            o.speed = Speed::Realtime;
        } else {
            char* end = nullptr;
            double f = std::strtod(speed, &end);
            if (*end != '\0' || !(f > 0) || f > 1e9)
                bad_input("environment: PIKIT_SIM_SPEED: expected realtime, max or a positive factor '" + s + "'");
            o.speed = Speed::Factor;
            o.speed_factor = f;
        }
    } else {
        o.speed = Speed::Realtime;
    }
    if (const char* v = env("PIKIT_SIM_VCD")) o.vcd_path = v;
    if (const char* v = env("PIKIT_SIM_LOG")) o.log_path = v;
    if (const char* v = env("PIKIT_SIM_EVENTS")) o.events_path = v;
    o.program = program_invocation_short_name;
    o.scenario = file;
    if (const char* v = env("PIKIT_SIM_STATE_DIR")) o.state_dir = v;

    try {
        Config root = Config::parse(text, file);
        o = scenario_options(root, o);
        o.pin_call_cost = env_duration("PIKIT_SIM_PIN_COST", o.pin_call_cost);
        try {
            g_board = new Board(o);  // lives as long as the process
        } catch (const std::runtime_error& e) {
            bad_input(std::string("environment: ") + e.what());
        }
        load_scenario(*g_board, root);
    } catch (const ScenarioError& e) {
        bad_input(e.what());
    } catch (const std::exception& e) {
        bad_input(file + ": " + e.what());
    }
    std::atexit(at_exit);
}

__attribute__((constructor)) void pikit_sim_start() {
    if (pikit_sim_default_scenario == nullptr) return;
    boot();
}

}  // namespace
}  // namespace pikit::sim

// pikit run: a program on the kit, with the kit's run variables spelt as
// options. The variables stay the one interface the kit reads: this only
// sets them (after checking them as the kit would, to name the option that
// is wrong) and then becomes the program, so that its status, its signals
// and its terminal are its own.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "commands.h"
#include "core/environment.h"
#include "process.h"

namespace pikit::cli {

namespace {

struct RunOptions {
    std::string scenario, until, speed, vcd, log, events, view, state_dir, pin_cost, timeout_status;
    std::vector<std::string> sets;
    std::vector<std::string> positional;
};

// The option behind a variable, for messages.
const std::map<std::string, std::string>& option_of() {
    static const std::map<std::string, std::string> m = {{"PIKIT_SIM_SCENARIO", "--scenario"},
                                                         {"PIKIT_SIM_SET", "--set"},
                                                         {"PIKIT_SIM_UNTIL", "--until"},
                                                         {"PIKIT_SIM_SPEED", "--speed"},
                                                         {"PIKIT_SIM_VCD", "--vcd"},
                                                         {"PIKIT_SIM_LOG", "--log"},
                                                         {"PIKIT_SIM_EVENTS", "--events"},
                                                         {"PIKIT_SIM_VIEW", "--view"},
                                                         {"PIKIT_SIM_STATE_DIR", "--state-dir"},
                                                         {"PIKIT_SIM_PIN_COST", "--pin-cost"},
                                                         {"PIKIT_SIM_TIMEOUT_STATUS", "--timeout-status"}};
    return m;
}

}  // namespace

std::string in_option_words(std::string message) {
    const std::string env = "environment: ";
    if (message.compare(0, env.size(), env) == 0) message.erase(0, env.size());
    for (const auto& [variable, option] : option_of())
        if (message.compare(0, variable.size() + 1, variable + ":") == 0) return option + message.substr(variable.size());
    return message;
}

namespace {

int run(const RunOptions& o, const std::vector<std::string>& after) {
    std::vector<std::string> command = after.empty() ? o.positional : after;
    if (command.empty()) return usage_error("run", "no program to run: pikit run [options] -- PROGRAM [ARGS]");
    std::map<std::string, std::string> vars;
    auto put = [&](const char* name, const std::string& v) {
        if (!v.empty()) vars[name] = v;
    };
    put("PIKIT_SIM_SCENARIO", o.scenario);
    put("PIKIT_SIM_UNTIL", o.until);
    put("PIKIT_SIM_SPEED", o.speed);
    put("PIKIT_SIM_VCD", o.vcd);
    put("PIKIT_SIM_LOG", o.log);
    put("PIKIT_SIM_EVENTS", o.events);
    put("PIKIT_SIM_VIEW", o.view);
    put("PIKIT_SIM_STATE_DIR", o.state_dir);
    put("PIKIT_SIM_PIN_COST", o.pin_cost);
    put("PIKIT_SIM_TIMEOUT_STATUS", o.timeout_status);
    for (const std::string& s : o.sets) {
        if (s.find('\n') != std::string::npos) return usage_error("run", "--set: one setting per --set '" + s + "'");
        vars["PIKIT_SIM_SET"] += (vars["PIKIT_SIM_SET"].empty() ? "" : "\n") + s;
    }
    try {
        // The kit's own reading, so that a value it would refuse is refused
        // here, under the option's name.
        sim::read_environment([&](const char* name) -> const char* {
            auto it = vars.find(name);
            return it == vars.end() ? nullptr : it->second.c_str();
        });
        if (!o.scenario.empty()) sim::read_scenario_file(o.scenario);
    } catch (const sim::ScenarioError& e) {
        return usage_error("run", in_option_words(e.what()));
    }
    const auto path = find_program(command[0]);
    if (!path)
        return usage_error("run", "no program '" + command[0] + "' (not a path to an executable, not beside pikit, not on PATH)");
    command[0] = *path;
    const std::vector<std::string> env = environment_with(vars);
    std::vector<char*> argv, envp;
    for (auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::fflush(stdout);
    execve(argv[0], argv.data(), envp.data());
    return usage_error("run", "cannot start '" + command[0] + "': " + std::strerror(errno));
}

}  // namespace

Runner add_run(CLI::App& app, const std::vector<std::string>& program) {
    auto o = std::make_shared<RunOptions>();
    CLI::App* sub = app.add_subcommand("run", "Run a program on the simulated kit");
    sub->footer(
        "Run a program on the simulated kit, as `PIKIT_SIM_... PROGRAM` would: each option sets the kit's\n"
        "variable of the same meaning (docs/simulator.md). The program's status is pikit's status.\n"
        "Example: pikit run --until 5s --log - -- build/bin/keypad-display-demo");
    sub->add_option("--scenario", o->scenario,
                    "Scenario file to wire instead of the program's built-in one (PIKIT_SIM_SCENARIO)");
    sub->add_option("--set", o->sets,
                    "DEVICE.KEY=VALUE: change one setting of the scenario in force, e.g. sensor.humidity=80, "
                    "board.pin_call_cost=0 (PIKIT_SIM_SET); may be repeated");
    sub->add_option("--until", o->until, "Virtual time at which the run limit ends the run: 500ms, 5s, 2min (PIKIT_SIM_UNTIL)");
    sub->add_option("--speed", o->speed, "realtime (default), max, or a factor such as 4 (PIKIT_SIM_SPEED)");
    sub->add_option("--vcd", o->vcd, "Write a VCD trace of every pin used (PIKIT_SIM_VCD)");
    sub->add_option("--log", o->log, "Write the modules' log; - for standard error (PIKIT_SIM_LOG)");
    sub->add_option("--events", o->events, "Write the event stream, JSON lines; - for standard error (PIKIT_SIM_EVENTS)");
    sub->add_option("--view", o->view, "Serve the live view: a port, 0 for a free one, or ADDRESS:PORT (PIKIT_SIM_VIEW)");
    sub->add_option("--state-dir", o->state_dir,
                    "Where state kept between runs lives, the EEPROM's memory (PIKIT_SIM_STATE_DIR)");
    sub->add_option("--pin-cost", o->pin_cost, "Virtual time of one pin call, 0 to 1ms (PIKIT_SIM_PIN_COST)");
    sub->add_option("--timeout-status", o->timeout_status,
                    "Status to end with when the run limit ends the run, 0-255 (default: the program's own, 143 when "
                    "it dies of the limit's SIGTERM) (PIKIT_SIM_TIMEOUT_STATUS)");
    sub->add_option("program", o->positional, "-- PROGRAM [ARGS...]: the program to run and its arguments");
    return [o, &program] { return run(*o, program); };
}

}  // namespace pikit::cli

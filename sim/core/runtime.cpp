// Start-up of a program built against the simulated kit: before main() runs,
// read the PIKIT_SIM_* variables, load the scenario (the one PIKIT_SIM_SCENARIO
// names, else the program's built-in default, else none: an empty board with
// only the Pi's own power-on pulls), and wire the simulated Pi. Any program
// linked with the kit's libraries starts this way, whether it was built in
// this tree or against the installed kit. Anything unusable ends the process
// with one line on standard error and status 2, so a typo never turns into a
// silently different experiment.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board.h"
#include "environment.h"
#include "expect/checker.h"
#include "scenario.h"
#include "signal_gate.h"
#include "signals.h"
#include "startup.h"
#include "stdout_tap.h"
#include "view/view.h"

extern "C" {
// Defined by a program's generated scenario source when it has a built-in
// scenario (the kit's own programs).
extern const char pikit_sim_default_scenario[] __attribute__((weak));
extern const char pikit_sim_default_scenario_name[] __attribute__((weak));
// Defined by test binaries, which build their own boards: no board is made
// for them before main().
extern const char pikit_sim_no_start[] __attribute__((weak));
}

namespace pikit::sim {

std::atomic<bool> g_empty_board_hint{false};

namespace {

Board* g_board = nullptr;
// The live view, when PIKIT_SIM_VIEW asks for one; like the board, it lives
// as long as the process.
view::View* g_view = nullptr;
// The expectations' checker, when the run is a test (PIKIT_SIM_EXPECT).
expect::Checker* g_checker = nullptr;

[[noreturn]] void bad_input(const std::string& message) {
    // A board already built must not run on while the process exits: its
    // clock would go on without the main thread, and its run limit could
    // overtake this exit with a SIGTERM.
    if (g_board) g_board->finish(false, "refused");
    std::fprintf(stderr, "pikit-sim: %s\n", message.c_str());
    std::fflush(stderr);
    _exit(2);
}

std::string option_message(const OptionError& e) {
    return "environment: " + variable_of(e.option()) + ": " + e.what() + " '" + e.value() + "'";
}

// PIKIT_SIM_TIMEOUT_STATUS: when the run limit ends the run, the process
// ends with this status rather than dying of the limit's SIGTERM, so that a
// script tells a run that was cut short from one that failed. The run's end
// is the last event: the trace, the log and the event stream are complete
// when it comes, and nothing is left to do but what dying would do.
class TimeoutStatus final : public EventListener {
public:
    explicit TimeoutStatus(int status) : status_(status) {}
    void on_event(Time, const char* event, const std::string& line) override {
        if (std::strcmp(event, "end") != 0 || line.find("\"reason\":\"run limit\"") == std::string::npos) return;
        std::fflush(stderr);
        _exit(status_);
    }

private:
    int status_;
};

void at_exit() {
    // Ending from outside is under way: the process dies of that signal, not
    // with the status of an exit that came after it.
    if (ending_from_outside()) stop_here();
    // The program's handlers no longer run: the process ends with its own
    // status once the trace, the log and the event stream are whole.
    close_the_gate();
    // What the program left unfinished in stdout's buffer belongs to the
    // run, before its end.
    flush_tapped_stdout();
    if (g_board) g_board->finish(false, "exit");
    // Its threads end before the process's static objects go.
    if (g_view) g_view->stop();
}

void program_output(const char* data, std::size_t size) {
    if (g_board) g_board->program_output(data, size);
}

// What the run starts from: the run variables, and the scenario's text and
// name (the file's, the program's built-in one, or none at all).
struct Start {
    RunEnvironment env;
    std::string text;
    std::string file;
    FileId scenario_id;
    bool empty = false;  // no scenario: the Pi alone
};

Start read_start() {
    Options base;
    base.record_history = false;
    base.exit_on_fatal = true;
    base.hold_until_started = true;

    Start s;
    try {
        check_variable_names(environ);
        s.env = read_environment([](const char* name) { return std::getenv(name); }, base);
        if (!s.env.scenario_path.empty()) {
            s.file = s.env.scenario_path;
            s.text = read_scenario_file(s.file, &s.scenario_id);
        } else if (pikit_sim_default_scenario != nullptr) {
            s.file = pikit_sim_default_scenario_name;
            s.text = pikit_sim_default_scenario;
        } else {
            // Nothing wired: the Pi alone, as it comes out of the box.
            s.text = "devices: []\n";
        }
        std::vector<OutputFile> outputs = output_files(s.env.options);
        if (!s.env.expect_path.empty()) outputs.push_back({"PIKIT_SIM_EXPECT", s.env.expect_path, "the expectations' results"});
        check_output_files(outputs, s.env.scenario_path.empty() ? nullptr : &s.scenario_id);
    } catch (const ScenarioError& e) {
        bad_input(e.what());
    }
    s.env.options.program = program_invocation_short_name;
    s.env.options.scenario = s.file;
    s.empty = s.file.empty();
    if (s.empty) s.file = "(no scenario)";
    return s;
}

// The live view's server, bound before the board exists so that a port in
// use is refused before anything runs; it serves once the board is wired.
void open_view(Start& s) {
    // The view saves the scenario in force: with PIKIT_SIM_SET's changes.
    std::string shown = s.text;
    if (!s.env.sets.empty()) {
        try {
            Config changed = Config::parse(s.text, s.file);
            apply_sets(changed, s.env.sets);
            shown = YAML::Dump(changed.node()) + "\n";
        } catch (const ScenarioError&) {
            // Refused in wire_board, where the scenario is wired.
        }
    }
    g_view = new view::View(*s.env.view, s.file, shown);
    try {
        g_view->bind();
    } catch (const std::exception& e) {
        bad_input("environment: PIKIT_SIM_VIEW: " + std::string(e.what()) + " '" + std::getenv("PIKIT_SIM_VIEW") + "'");
    }
    s.env.options.event_listeners.push_back(g_view->listener());
}

// The board, made from the scenario with the variables' changes, with the
// expectations' checker and the timeout status listening to it.
void wire_board(const Start& s) {
    const RunEnvironment& env = s.env;
    try {
        Config root = Config::parse(s.text, s.file);
        if (!env.scenario_path.empty()) root.outputs().set_scenario(s.scenario_id);
        apply_sets(root, env.sets);
        Options o = scenario_options(root, env.options);
        if (env.pin_cost) o.pin_call_cost = *env.pin_cost;
        if (!env.expect_path.empty()) {
            g_checker = new expect::Checker(expect::read_expectations(root), env.expect_path, {});
            if (!g_checker->ok())
                bad_input("environment: PIKIT_SIM_EXPECT: cannot write the results: " + g_checker->error() + " '" +
                          env.expect_path + "'");
            o.event_listeners.push_back(g_checker);
        }
        // Last among the listeners: the others see the end first.
        if (env.timeout_status) o.event_listeners.push_back(new TimeoutStatus(*env.timeout_status));
        g_board = new Board(o);  // lives as long as the process
        load_scenario(*g_board, root);
        if (g_checker) g_checker->attach(*g_board);
    } catch (const ScenarioError& e) {
        bad_input(e.what());
    } catch (const OptionError& e) {
        bad_input(option_message(e));
    } catch (const std::exception& e) {
        bad_input(s.file + ": " + e.what());
    }
}

void boot() {
    Start s = read_start();
    if (s.env.view) open_view(s);
    wire_board(s);
    std::atexit(at_exit);
    install_ending_signals(*g_board);
    // The program's standard output joins the event stream (and the view's
    // console), byte for byte as it goes to descriptor 1.
    if (!s.env.options.events_path.empty() || g_view || g_checker) tap_stdout(program_output);
    if (g_view) {
        g_view->serve(*g_board);
        std::fprintf(stderr, "pikit-sim: view at %s\n", g_view->url().c_str());
        std::fflush(stderr);
    }
    // Wiring a large scenario leaves many small freed blocks behind (the
    // parsed document). The allocator would merge them on the program's first
    // larger allocation, the buffer of its first printf: milliseconds of the
    // program's CPU time with no library call, long enough to look like a
    // spinning loop. Merge them here, while the start is still held.
    malloc_trim(0);
    g_empty_board_hint.store(s.empty);
    g_board->started();
}

__attribute__((constructor)) void pikit_sim_start() {
    if (pikit_sim_no_start != nullptr) return;
    boot();
}

}  // namespace
}  // namespace pikit::sim

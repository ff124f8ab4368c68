// The run variables (PIKIT_SIM_*) that a program built against the kit reads
// before main(), and the checks on the files they name. Every refusal is a
// ScenarioError whose what() is the whole line: "environment: <VARIABLE>:
// <why> '<value>'", or "<file>: ..." for the scenario file.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "config.h"
#include "outputs.h"

namespace pikit::sim {

// A scenario is a few kilobytes; the limit keeps a wrong file (a log, a
// device, a generated monster) from being read for seconds or exhausting
// memory before the run even starts.
constexpr std::size_t kMaxScenarioBytes = 1024 * 1024;

// Pacing factors that mean anything: from a thousandfold slow motion to a
// billion times faster than real time.
constexpr double kMinSpeedFactor = 0.001;
constexpr double kMaxSpeedFactor = 1e9;

// Where the live view listens (PIKIT_SIM_VIEW): an IP address and a port,
// 0 for one the system picks.
struct ViewAddress {
    std::string host = "127.0.0.1";
    int port = 0;
};

// "<port>", "<address>:<port>" or "[<IPv6 address>]:<port>", the address an
// IPv4 or IPv6 literal or "localhost" (never looked up: a name that a DNS
// server could point elsewhere is refused). nullopt for anything else.
std::optional<ViewAddress> parse_view_address(const std::string& text);

struct RunEnvironment {
    std::string scenario_path;  // PIKIT_SIM_SCENARIO; empty: the program's built-in scenario
    // PIKIT_SIM_SET: settings changed in the scenario in force, one
    // "<device>.<key>=<value>" a line ("board.<key>" for the board's own).
    std::vector<std::string> sets;
    // PIKIT_SIM_EXPECT: check the scenario's expectations as the run goes
    // and write their results to this file (pikit test sets it). Empty: a
    // plain run, which reads the expectations but does not act on them.
    std::string expect_path;
    // PIKIT_SIM_TIMEOUT_STATUS: the process's status when the run limit
    // ends the run (instead of dying of its SIGTERM, 143).
    std::optional<int> timeout_status;
    std::optional<Time> pin_cost;     // PIKIT_SIM_PIN_COST, which wins over the scenario's
    std::optional<ViewAddress> view;  // PIKIT_SIM_VIEW: serve the live view
    Options options;                  // until, speed, vcd_path, log_path, events_path, state_dir
};

// Reads the variables through `get` (std::getenv in a program; an empty value
// counts as unset) into `base`. Throws ScenarioError naming the variable.
RunEnvironment read_environment(const std::function<const char*(const char*)>& get, Options base = {});

// Every variable the kit reads, by name.
const std::vector<std::string>& known_variables();

// Refuses a PIKIT_SIM_ variable in `environ` that the kit does not know (a
// misspelt PIKIT_SIM_UNTL would otherwise be ignored without a word):
// throws ScenarioError naming it and the known ones.
void check_variable_names(char** environ_);

// Applies PIKIT_SIM_SET's changes to a parsed scenario: each names a device
// of the scenario (by its name, or its type when it has none) or `board`,
// and one of its settings; the value is read as a scenario's value is. The
// scenario loader then checks the result as it checks every scenario.
void apply_sets(const Config& root, const std::vector<std::string>& sets);

// The scenario file's text: a regular file of at most kMaxScenarioBytes.
// Never blocks (a FIFO is refused, not opened for a writer that never comes).
// `identity` receives the file's device and inode, to compare outputs with.
std::string read_scenario_file(const std::string& path, FileId* identity = nullptr);

// The files a run with these options writes (the trace's working file too),
// each owned by the variable that names it.
std::vector<OutputFile> output_files(const Options& o);
// Refuses an output that is a directory, the scenario file itself, or the
// same file as another output. `scenario` is null for a built-in scenario.
void check_output_files(const std::vector<OutputFile>& outputs, const FileId* scenario);

// The variable behind a member of Options, for messages ("vcd_path" ->
// "PIKIT_SIM_VCD"); the member name itself when no variable sets it.
std::string variable_of(const std::string& option);

}  // namespace pikit::sim

// Running a built program of the kit as a child process under the simulated
// kit, with the environment a test chooses, and collecting what it leaves.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace pikit::test {

struct RunResult {
    std::string out;   // standard output, byte for byte
    std::string err;   // standard error
    int exit_code = -1;  // when it exited
    int signal = 0;      // when a signal ended it (SIGTERM = 15)
    bool timed_out = false;  // wall-clock guard hit (the test fails on this)
};

// Runs <build>/bin/<program> (or `program` itself when it is a path) with the
// PIKIT_SIM_* variables in `env` (the test's own PIKIT_SIM_* variables are
// cleared first; PIKIT_SIM_SPEED defaults to max), under `wrapper` when given
// (e.g. {"valgrind", "-q"}, looked up in PATH). The child is killed after
// `wall_limit_s` wall seconds.
RunResult run_program(const std::string& program, const std::map<std::string, std::string>& env,
                      double wall_limit_s = 60.0, const std::vector<std::string>& wrapper = {});

// Keeps every core of the machine busy while it lives: one spinning child
// process per core, killed when it goes.
class CpuHogs {
public:
    CpuHogs();
    ~CpuHogs();
    CpuHogs(const CpuHogs&) = delete;
    CpuHogs& operator=(const CpuHogs&) = delete;

private:
    std::vector<int> pids_;
};

// Whether an executable of that name is on PATH.
bool on_path(const std::string& tool);

// A fresh empty directory under the system temp dir, removed at process exit.
std::string temp_dir();

// Writes `text` to <dir>/<name> and returns the path.
std::string write_file(const std::string& dir, const std::string& name, const std::string& text);

std::string read_file(const std::string& path);

// The file at <source tree>/<relative>.
std::string source_path(const std::string& relative);

}  // namespace pikit::test

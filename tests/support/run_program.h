// Running a built program of the kit as a child process under the simulated
// kit, with the environment a test chooses, and collecting what it leaves.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace pikit::test {

struct RunResult {
    std::string out;         // standard output, byte for byte
    std::string err;         // standard error
    int exit_code = -1;      // when it exited
    int signal = 0;          // when a signal ended it (SIGTERM = 15)
    bool timed_out = false;  // wall-clock guard hit (the test fails on this)
};

// A signal sent to the running program from outside: once `after_output`
// has appeared on its standard output (if given), `watch_file` holds
// `watch_text` at least `watch_count` times (if given: a program that prints
// nothing can be watched through its event stream), and `after_s` wall
// seconds have passed since it started.
struct Interrupt {
    int signal = 0;  // 0: none
    std::string after_output;
    double after_s = 0;
    std::string watch_file;
    std::string watch_text;
    int watch_count = 1;
};

// Runs <build>/bin/<program> (or `program` itself when it is a path) with the
// variables in `env` (the test's own PIKIT_SIM_* variables are cleared first,
// and any it names are replaced; PIKIT_SIM_SPEED defaults to max), with SIGINT, SIGTERM and
// SIGHUP at their default actions as in a terminal, through the build's
// cross-compiling emulator when it has one (qemu-arm for the armhf build). The
// child is killed after `wall_limit_s` wall seconds, times the build's CTest
// timeout over the usual 60 s (3 for the emulated and sanitized builds): keep
// a test's runs together inside its CTest timeout, so that a hang fails with
// this helper's message rather than CTest's.
RunResult run_program(const std::string& program, const std::map<std::string, std::string>& env, double wall_limit_s = 30.0,
                      const Interrupt& interrupt = {});

// As run_program, with the signals in `ignored` ignored when the program
// starts, as nohup (SIGHUP) or a shell's background job (SIGINT) leaves them.
RunResult run_program_ignoring(const std::vector<int>& ignored, const std::string& program,
                               const std::map<std::string, std::string>& env, double wall_limit_s = 30.0,
                               const Interrupt& interrupt = {});

// Runs args[0] (looked up in PATH when it has no slash) with exactly the
// environment `env` ("NAME=value" entries), natively, as run_program does.
RunResult run_command(const std::vector<std::string>& args, const std::vector<std::string>& env, double wall_limit_s = 30.0,
                      const Interrupt& interrupt = {});

// As run_command, for a program of this build with its arguments: under the
// build's emulator when the build is for another machine.
RunResult run_built(const std::vector<std::string>& args, const std::vector<std::string>& env, double wall_limit_s = 30.0);

// As run_program, under `wrapper` (e.g. {"valgrind", "-q"}, looked up in PATH)
// instead of the build's emulator: for native builds only (runs_emulated()).
RunResult run_program_wrapped(const std::vector<std::string>& wrapper, const std::string& program,
                              const std::map<std::string, std::string>& env, double wall_limit_s = 30.0);

// Whether built programs run under an emulator (qemu-arm for the armhf build).
bool runs_emulated();

// Whether an executable of that name is on PATH.
bool on_path(const std::string& tool);

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

// A fresh empty directory under the system temp dir, removed at process exit.
std::string temp_dir();

// Writes `text` to <dir>/<name> and returns the path.
std::string write_file(const std::string& dir, const std::string& name, const std::string& text);

std::string read_file(const std::string& path);

// The file at <source tree>/<relative>.
std::string source_path(const std::string& relative);

}  // namespace pikit::test

// Starting a program for the pikit command: its environment, where its
// output goes, and how it ended.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pikit::cli {

// The environment of this process with `set` added (replacing a variable of
// the same name) and the names in `unset` removed.
std::vector<std::string> environment_with(const std::map<std::string, std::string>& set,
                                          const std::vector<std::string>& unset = {});

// The program a command line names: a path when it has a slash; else a
// program beside pikit itself (the kit's programs are built and installed
// there), else one on PATH. nullopt when none is found.
std::optional<std::string> find_program(const std::string& name);

struct Spawned {
    pid_t pid = -1;
    std::string error;  // why it could not be started
};

// Starts `argv` with `env`; its standard output and error go to the files
// named (empty: this process's own). The program's standard input is
// /dev/null when `quiet_input`.
Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out_file,
              const std::string& err_file, bool quiet_input);

// How a process ended, as a shell shows it: its exit status, or 128 + the
// signal that killed it.
struct Ending {
    int status = 0;
    int signal = 0;  // the signal that killed it, 0 when it exited
};
Ending ending_of(int wait_status);

// "SIGSEGV" for 11.
std::string signal_name(int sig);

}  // namespace pikit::cli

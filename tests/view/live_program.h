// A program of the kit running as a child process while a test talks to its
// live view: its standard output and error are collected as they come.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/run_program.h"

namespace pikit::test {

class LiveProgram {
public:
    // Starts <bin>/<program> with PIKIT_SIM_VIEW=0 and `env` (the test's own
    // PIKIT_SIM_ variables cleared; PIKIT_SIM_SPEED defaults to max).
    LiveProgram(const std::string& program, std::map<std::string, std::string> env);
    ~LiveProgram();  // kills it if it still runs
    LiveProgram(const LiveProgram&) = delete;
    LiveProgram& operator=(const LiveProgram&) = delete;

    // The view's port from the line on standard error, waiting up to `s`
    // seconds; 0 if it did not come.
    int port(double s = 20);
    // Whether `text` appeared on standard output within `s` seconds.
    bool wait_for_output(const std::string& text, double s = 20);
    // Waits for the end (up to `s` seconds, then kills it); the result as run_program gives it.
    RunResult wait(double s = 30);
    std::string out() const;
    std::string err() const;

private:
    void pump(int fd, std::string& into);
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    mutable std::mutex m_;
    std::string out_, err_;
    std::thread out_reader_, err_reader_;
    bool done_ = false;
    RunResult result_;
};

}  // namespace pikit::test

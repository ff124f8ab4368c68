#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace pikit::test {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> child_environment(const std::map<std::string, std::string>& env) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string name(*e, std::strcspn(*e, "="));
        if (name.compare(0, 10, "PIKIT_SIM_") != 0 && !env.count(name)) out.emplace_back(*e);
    }
    bool speed = false;
    for (const auto& [k, v] : env) {
        out.push_back(k + "=" + v);
        if (k == "PIKIT_SIM_SPEED") speed = true;
    }
    if (!speed) out.emplace_back("PIKIT_SIM_SPEED=max");
    return out;
}

struct TempDirs {
    std::vector<fs::path> dirs;
    ~TempDirs() {
        std::error_code ec;
        for (const auto& d : dirs) fs::remove_all(d, ec);
    }
};
TempDirs temp_dirs;

std::vector<std::string> emulator() {
    std::vector<std::string> words;
    std::string w;
    for (const char* c = PIKIT_EMULATOR; *c; ++c) {
        if (*c == '|') {
            words.push_back(w);
            w.clear();
        } else {
            w += *c;
        }
    }
    if (!w.empty()) words.push_back(w);
    return words;
}

std::string program_path(const std::string& program) {
    return program.find('/') == std::string::npos ? std::string(PIKIT_BIN_DIR) + "/" + program : program;
}

}  // namespace

#ifndef PIKIT_TEST_TIMEOUT_S
#define PIKIT_TEST_TIMEOUT_S 60
#endif

RunResult run_command(const std::vector<std::string>& args, const std::vector<std::string>& env, double wall_limit_s,
                      const Interrupt& interrupt) {
    if (args.empty()) throw std::invalid_argument("run_command: nothing to run");
    // Close-on-exec, so that programs started at once from several threads
    // never hold each other's pipes open.
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&fa, out_pipe[0]);
    posix_spawn_file_actions_addclose(&fa, err_pipe[0]);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> envs = env;
    std::vector<char*> envp;
    for (auto& s : envs) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argw = args;
    std::vector<char*> argv;
    for (auto& s : argw) argv.push_back(s.data());
    argv.push_back(nullptr);

    // A test run from a background job would hand down SIGINT ignored.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t dfl;
    sigemptyset(&dfl);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&dfl, sig);
    posix_spawnattr_setsigdefault(&attr, &dfl);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    const auto started = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }

    RunResult r;
    // The guard is against hangs, not a speed limit: it grows as the build's
    // test timeout does, raised for the builds that run several times slower
    // (qemu, sanitizers), so that a busy machine never passes for a hang.
    wall_limit_s *= std::max(1.0, PIKIT_TEST_TIMEOUT_S / 60.0);
    const auto deadline = started + std::chrono::milliseconds(static_cast<long>(wall_limit_s * 1000));
    const auto signal_at = started + std::chrono::microseconds(static_cast<long>(interrupt.after_s * 1e6));
    bool signalled = interrupt.signal == 0;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (!signalled) {
            bool seen = r.out.find(interrupt.after_output) != std::string::npos;
            if (seen && !interrupt.watch_file.empty()) {
                const std::string text = read_file(interrupt.watch_file);
                int found = 0;
                for (std::size_t at = text.find(interrupt.watch_text); at != std::string::npos;
                     at = text.find(interrupt.watch_text, at + 1))
                    ++found;
                seen = found >= interrupt.watch_count;
                if (!seen) left = std::min<long>(left, 10);  // look at the file again soon
            }
            const auto until_signal =
                std::chrono::duration_cast<std::chrono::milliseconds>(signal_at - std::chrono::steady_clock::now()).count();
            if (seen && until_signal <= 0) {
                kill(pid, interrupt.signal);
                signalled = true;
            } else if (seen) {
                left = std::min(left, until_signal);
            }  // else: the output it waits for wakes the poll
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

RunResult run_program(const std::string& program, const std::map<std::string, std::string>& env, double wall_limit_s,
                      const Interrupt& interrupt) {
    // A program built for another machine (the armhf build) runs under the
    // build's emulator: starting it directly would need binfmt_misc.
    std::vector<std::string> args = emulator();
    args.push_back(program_path(program));
    return run_command(args, child_environment(env), wall_limit_s, interrupt);
}

RunResult run_built(const std::vector<std::string>& args, const std::vector<std::string>& env, double wall_limit_s) {
    std::vector<std::string> all = emulator();
    all.insert(all.end(), args.begin(), args.end());
    return run_command(all, env, wall_limit_s);
}

RunResult run_program_ignoring(const std::vector<int>& ignored, const std::string& program,
                               const std::map<std::string, std::string>& env, double wall_limit_s, const Interrupt& interrupt) {
    // The shell's `trap '' SIG` ignores a signal, and exec keeps it ignored.
    std::string traps;
    for (int sig : ignored) traps += "trap '' " + std::to_string(sig) + "; ";
    std::vector<std::string> args{"/bin/sh", "-c", traps + "exec \"$@\"", "sh"};
    for (const std::string& w : emulator()) args.push_back(w);
    args.push_back(program_path(program));
    return run_command(args, child_environment(env), wall_limit_s, interrupt);
}

RunResult run_program_wrapped(const std::vector<std::string>& wrapper, const std::string& program,
                              const std::map<std::string, std::string>& env, double wall_limit_s) {
    std::vector<std::string> args = wrapper;
    args.push_back(program_path(program));
    return run_command(args, child_environment(env), wall_limit_s);
}

bool runs_emulated() { return !emulator().empty(); }

bool on_path(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string file = dirs.substr(start, end - start) + "/" + tool;
        if (access(file.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

CpuHogs::CpuHogs() {
    long cores = std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
    const pid_t parent = getpid();
    for (long i = 0; i < cores; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            // Gone with the test process, however it ends (a sanitizer's
            // abort skips the destructor).
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            volatile unsigned spin = 0;
            for (;;) spin = spin + 1;
        }
        if (pid > 0) pids_.push_back(pid);
    }
}

CpuHogs::~CpuHogs() {
    for (int pid : pids_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string temp_dir() {
    std::string tmpl = (fs::temp_directory_path() / "pikit-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    temp_dirs.dirs.emplace_back(tmpl);
    return tmpl;
}

std::string write_file(const std::string& dir, const std::string& name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream f(path, std::ios::binary);
    f << text;
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string source_path(const std::string& relative) { return std::string(PIKIT_SOURCE_DIR) + "/" + relative; }

}  // namespace pikit::test

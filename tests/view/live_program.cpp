#include "live_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace pikit::test {

namespace {
using Clock = std::chrono::steady_clock;

bool waited(Clock::time_point since, double s) { return std::chrono::duration<double>(Clock::now() - since).count() >= s; }
}  // namespace

LiveProgram::LiveProgram(const std::string& program, std::map<std::string, std::string> env) {
    if (!env.count("PIKIT_SIM_VIEW")) env["PIKIT_SIM_VIEW"] = "0";
    if (!env.count("PIKIT_SIM_SPEED")) env["PIKIT_SIM_SPEED"] = "max";
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        const std::string name(*e, std::strcspn(*e, "="));
        if (name.compare(0, 10, "PIKIT_SIM_") != 0) envs.emplace_back(*e);
    }
    for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t dfl;
    sigemptyset(&dfl);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&dfl, sig);
    posix_spawnattr_setsigdefault(&attr, &dfl);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::string path = program.find('/') == std::string::npos ? std::string(PIKIT_BIN_DIR) + "/" + program : program;
    std::vector<char*> argv{path.data(), nullptr};
    std::vector<char*> envp;
    for (auto& s : envs) envp.push_back(s.data());
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
    out_reader_ = std::thread([this] { pump(out_fd_, out_); });
    err_reader_ = std::thread([this] { pump(err_fd_, err_); });
}

LiveProgram::~LiveProgram() {
    if (!done_) wait(0);
}

void LiveProgram::pump(int fd, std::string& into) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> g(m_);
        into.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
}

int LiveProgram::port(double s) {
    const auto since = Clock::now();
    const std::string line = "pikit-sim: view at http://";
    do {
        // "pikit-sim: view at http://127.0.0.1:41234/\n": the port is after the last colon.
        const std::string e = err();
        const auto at = e.find(line);
        const auto end = at == std::string::npos ? at : e.find("/\n", at + line.size());
        if (end != std::string::npos) {
            const auto colon = e.rfind(':', end);
            return std::stoi(e.substr(colon + 1, end - colon - 1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (!waited(since, s));
    return 0;
}

bool LiveProgram::wait_for_output(const std::string& text, double s) {
    const auto since = Clock::now();
    do {
        if (out().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (!waited(since, s));
    return false;
}

RunResult LiveProgram::wait(double s) {
    if (done_) return result_;
    const auto since = Clock::now();
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (waited(since, s)) {
            result_.timed_out = s > 0;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out_reader_.join();
    err_reader_.join();
    done_ = true;
    if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
    result_.out = out();
    result_.err = err();
    return result_;
}

std::string LiveProgram::out() const {
    std::lock_guard<std::mutex> g(m_);
    return out_;
}

std::string LiveProgram::err() const {
    std::lock_guard<std::mutex> g(m_);
    return err_;
}

}  // namespace pikit::test

#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace pikit::cli {

std::vector<std::string> environment_with(const std::map<std::string, std::string>& set, const std::vector<std::string>& unset) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool drop = set.count(name) > 0;
        for (const std::string& u : unset) drop = drop || u == name;
        if (!drop) env.push_back(entry);
    }
    for (const auto& [name, value] : set) env.push_back(name + "=" + value);
    return env;
}

namespace {

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> find_program(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (name.find('/') != std::string::npos) return executable(name) ? std::optional<std::string>(name) : std::nullopt;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        if (executable(dir + "/" + name)) return dir + "/" + name;
    }
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= p.size()) {
        std::size_t colon = p.find(':', start);
        if (colon == std::string::npos) colon = p.size();
        std::string dir = p.substr(start, colon - start);
        if (dir.empty()) dir = ".";
        if (executable(dir + "/" + name)) return dir + "/" + name;
        start = colon + 1;
    }
    return std::nullopt;
}

Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out_file,
              const std::string& err_file, bool quiet_input) {
    Spawned s;
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    // The child reports a failed exec through this pipe (closed on exec).
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        s.error = std::strerror(errno);
        return s;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        s.error = std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return s;
    }
    if (pid == 0) {
        close(report[0]);
        auto to = [](const std::string& file, int fd, int flags) {
            if (file.empty()) return true;
            const int f = open(file.c_str(), flags | O_CLOEXEC, 0644);
            if (f < 0) return false;
            const bool ok = dup2(f, fd) >= 0;
            close(f);
            return ok;
        };
        // Signals back at their defaults, as from a shell.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if ((quiet_input && !to("/dev/null", 0, O_RDONLY)) || !to(out_file, 1, O_WRONLY | O_CREAT | O_TRUNC) ||
            !to(err_file, 2, O_WRONLY | O_CREAT | O_TRUNC)) {
            const int e = errno;
            (void)!write(report[1], &e, sizeof e);
            _exit(127);
        }
        execve(args[0], args.data(), envp.data());
        const int e = errno;
        (void)!write(report[1], &e, sizeof e);
        _exit(127);
    }
    close(report[1]);
    int e = 0;
    ssize_t n;
    do n = read(report[0], &e, sizeof e);
    while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof e)) {
        int st;
        waitpid(pid, &st, 0);
        s.error = std::strerror(e);
        return s;
    }
    s.pid = pid;
    return s;
}

Ending ending_of(int wait_status) {
    Ending e;
    if (WIFSIGNALED(wait_status)) {
        e.signal = WTERMSIG(wait_status);
        e.status = 128 + e.signal;
    } else {
        e.status = WEXITSTATUS(wait_status);
    }
    return e;
}

std::string signal_name(int sig) {
    switch (sig) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGKILL: return "SIGKILL";
    case SIGSEGV: return "SIGSEGV";
    case SIGPIPE: return "SIGPIPE";
    case SIGALRM: return "SIGALRM";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(sig);
    }
}

}  // namespace pikit::cli

#include "stdout_tap.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ext/stdio_sync_filebuf.h>
#include <iostream>

namespace pikit::sim {

namespace {

std::atomic<OutputListener> g_listener{nullptr};
FILE* g_tapped = nullptr;
// A listener that itself writes to stdout must not be handed its own output.
thread_local bool t_in_listener = false;

ssize_t tapped_write(void*, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDOUT_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (done == 0) return -1;  // errno as the write left it (EPIPE...)
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    OutputListener l = g_listener.load(std::memory_order_acquire);
    if (l && done > 0 && !t_in_listener) {
        t_in_listener = true;
        const int saved = errno;
        l(data, done);
        errno = saved;
        t_in_listener = false;
    }
    return static_cast<ssize_t>(done);
}

int tapped_seek(void*, off64_t* offset, int whence) {
    const off64_t at = ::lseek64(STDOUT_FILENO, *offset, whence);
    if (at < 0) return -1;
    *offset = at;
    return 0;
}

int tapped_close(void*) { return ::close(STDOUT_FILENO); }

}  // namespace

bool tap_stdout(OutputListener listener) {
    g_listener.store(listener, std::memory_order_release);
    if (g_tapped) return true;
    cookie_io_functions_t io{};
    io.write = tapped_write;
    io.seek = tapped_seek;
    io.close = tapped_close;
    FILE* f = fopencookie(nullptr, "w", io);
    if (!f) return false;
    // The C library's own choice for standard output.
    std::setvbuf(f, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ);
    // fileno(stdout) stays 1: isatty(fileno(stdout)) and the like still work.
    f->_fileno = STDOUT_FILENO;
    std::fflush(stdout);
    stdout = f;
    g_tapped = f;
    // std::cout writes through stdout as it was when the streams were set
    // up; point it at the new one, so that its output keeps its order with
    // printf's and is seen too.
    // The buffer is never destroyed: the standard streams are flushed by the
    // last std::ios_base::Init to go, which may be a shared library's,
    // finalised after every static object of this one.
    static std::ios_base::Init streams;
    static auto* const cout_buffer = new __gnu_cxx::stdio_sync_filebuf<char>(f);
    std::cout.rdbuf(cout_buffer);
    return true;
}

void flush_tapped_stdout() {
    if (!g_tapped || stdout != g_tapped) return;
    if (ftrylockfile(g_tapped) != 0) return;
    fflush_unlocked(g_tapped);
    funlockfile(g_tapped);
}

}  // namespace pikit::sim

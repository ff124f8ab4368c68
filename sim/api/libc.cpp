// The C library's clock as a program sees it on the simulated Pi.
//
// A program that asks for the date (time(), as rgb-fade-demo does to seed its
// random colours) gets the scenario's start date plus virtual time, so that a
// run at `max` speed sees its seconds go by as fast as its delays, and a
// scenario with a fixed start date gives the same dates on every run. This
// definition takes the place of the C library's for the program's calls. The
// kit itself never calls time(): its own wall-clock needs use clock_gettime
// and std::chrono::steady_clock, which are left as they are.
#include <time.h>

#include "core/board.h"

extern "C" time_t time(time_t* out) {
    const pikit::sim::Board* board = pikit::sim::Board::current();
    time_t now;
    if (board) {
        const std::int64_t ns = board->date();
        now = static_cast<time_t>(ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000));
    } else {
        // No simulated board (a test binary before it builds one): the real date.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out) *out = now;
    return now;
}

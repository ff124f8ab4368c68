// The run's end. A run ends in one of these ways, each closing the outputs
// (publish.cpp) with its reason:
//  - the program ends by itself (returns from main, calls exit()): finish()
//    from the kit's exit work (runtime.cpp: "exit"), or its start-up is
//    refused ("refused");
//  - a signal from outside (Ctrl-C, kill, a closed terminal) that the
//    program does not take itself: end_from_outside() from the kit's handler
//    (signals.cpp), after which every library call stays in the library
//    until the signal has done its work;
//  - the run limit (run_limit.cpp);
//  - a fault of the simulation itself (fatal: a frozen clock...).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "board_impl.h"

namespace pikit::sim {

void Board::finish(bool release_threads, const char* reason) {
    {
        std::unique_lock<std::mutex> lk(impl_->m);
        if (impl_->finished) return;
        // A program that took the run limit's SIGTERM itself and then dies
        // of it (raising it again) ends the run the limit began.
        if (impl_->limit.reached && std::strcmp(reason, "SIGTERM") == 0) reason = "run limit";
        impl_->limit.held = false;
        impl_->fast.revoke(lk);
        impl_->release_on_finish = release_threads;
        impl_->finish_devices();
        impl_->finished = true;
        impl_->close_outputs(reason);
        for (auto& t : impl_->threads) impl_->unpark(t.get());
        impl_->supervisor.cv.notify_all();
    }
    if (impl_->supervisor.thread.joinable() && impl_->supervisor.thread.get_id() != std::this_thread::get_id()) impl_->supervisor.thread.join();
}

void Board::end_from_outside(const char* reason) {
    {
        std::unique_lock<std::mutex> lk(impl_->m);
        impl_->calls_held = true;
    }
    finish(false, reason);
}

void Board::Impl::finish_devices() {
    if (devices_finished) return;
    devices_finished = true;
    for (auto& d : devices) d->finish();
}

void Board::Impl::fatal(const std::string& text) {
    add_report(ReportKind::Error, "board", text);
    if (b.options_.exit_on_fatal) {
        std::fprintf(stderr, "pikit-sim: %s\n", text.c_str());
        close_outputs("fatal");
        _exit(3);
    }
    throw SimError(text);
}

}  // namespace pikit::sim

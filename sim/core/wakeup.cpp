// Waits that end on something other than time: a thread that waits for an
// interrupt edge or for a lock another thread holds is a waiting thread like
// one in delay(), with a time-out as its scheduled wake-up; the device side
// may make it ready earlier, at the instant the awaited thing happens.
#include "board_impl.h"

namespace pikit::sim {

bool Board::wait_for_wakeup(Wakeup& w, Time timeout, const std::function<bool()>& ready) {
    Impl& im = *impl_;
    KitSection kit;
    std::unique_lock<std::mutex> lk(im.m);
    im.hold_if_ending(lk);
    if (im.finished && im.release_on_finish) return false;
    if (t_in_call > 0) {
        // A signal handler's call while this thread waits in another: it
        // cannot wait in that one's place; it only looks.
        return ready();
    }
    struct InCall {
        InCall() { ++t_in_call; }
        ~InCall() { --t_in_call; }
    } in_call;
    Impl::Thread* t = im.enter(lk);
    if (im.finished) return false;
    if (ready()) {
        im.advance_to(lk, now());
        im.maybe_yield(lk, t);
        return true;
    }
    const Time deadline = add_time(now(), timeout);
    if (deadline <= now()) {
        im.advance_to(lk, now());
        im.maybe_yield(lk, t);
        return false;
    }
    t->st = Impl::St::Waiting;
    w.thread = t;
    w.timeout = deadline == kNever ? 0 : im.schedule(deadline, [&im, &w, t] {
        w.thread = nullptr;
        w.timeout = 0;
        im.make_ready(t);
    });
    im.holder = nullptr;
    im.fast.drop(lk);
    im.frozen.at = -1;
    im.dispatch(lk);
    im.block_until_holder(lk, t);
    if (w.thread == t) {  // the run ended while it waited
        if (w.timeout) im.cancel(w.timeout);
        w.thread = nullptr;
        w.timeout = 0;
    }
    if (w.woken_thread != t) return false;
    w.woken_thread = nullptr;
    return true;
}

void Board::wake(Wakeup& w) {
    if (!w.thread) return;
    auto* t = static_cast<Impl::Thread*>(w.thread);
    if (w.timeout) impl_->cancel(w.timeout);
    w.thread = nullptr;
    w.timeout = 0;
    w.woken_thread = t;
    impl_->make_ready(t);
}

}  // namespace pikit::sim

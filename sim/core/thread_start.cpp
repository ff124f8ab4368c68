// Threads a program starts through the library (wiringPi's piThreadCreate)
// are known to the board from the instant they are started, as interrupt
// threads are: a new OS thread takes a moment to get going, and virtual time
// must not run ahead of it meanwhile.
#include "board_impl.h"

namespace pikit::sim {

void* Board::expect_thread(const std::string& name) {
    Impl& im = *impl_;
    KitSection kit;
    std::unique_lock<std::mutex> lk(im.m);
    im.hold_if_ending(lk);
    if (im.finished) return nullptr;
    im.enter(lk);
    if (im.finished) return nullptr;
    Impl::Thread* t = im.add_thread(name);
    t->st = Impl::St::Ready;
    im.ready.push_back(t);
    // The holder (the caller) lets it go first at the end of its next call,
    // which therefore takes the locked path.
    im.fast.drop(lk);
    return t;
}

void Board::adopt_thread(void* rec) {
    if (!rec) return;
    KitSection kit;
    std::unique_lock<std::mutex> lk(impl_->m);
    auto* t = static_cast<Impl::Thread*>(rec);
    Impl::bind_cpu_clock(*t);
    impl_->set_self(t);
    // It runs when its turn comes, as a thread made ready at that instant
    // does (or at once, if it was set free meanwhile or the run is over).
    while (t->st == Impl::St::Ready && !impl_->finished) impl_->park(lk, t);
}

}  // namespace pikit::sim

// Interrupts: wiringPiISR's handler threads. Each is a program thread that
// waits for its pin's edges and runs the program's handler once per edge,
// in order; edges that come while the handler runs are counted and handled
// after it, one call each.
#include "board_impl.h"

namespace pikit::sim {

void Board::Impl::deliver_interrupt(int pin, Level level) {
    Isr* isr = isr_of[pin];
    if (!isr) return;
    bool fall = level == Level::Low;
    bool wanted = isr->mode == 3 || isr->mode == 0 || (isr->mode == 1 && fall) || (isr->mode == 2 && !fall);
    if (!wanted) return;
    if (isr->thread->wants_edge) make_ready(isr->thread);  // wakes for this edge
    else ++isr->pending;                                   // handled after the running call
}

void Board::Impl::isr_loop(Isr* isr) {
    Thread* t = isr->thread;
    KitSection kit;
    std::unique_lock<std::mutex> lk(m);
    bind_cpu_clock(*t);
    set_self(t);
    // In the library, but for the handler's own run: a signal handler's call
    // made while this thread waits for an edge must leave its place alone.
    ++t_in_call;
    for (;;) {
        block_until_holder(lk, t);
        if (finished) return;
        ++t->calls;
        ++activity;
        lk.unlock();
        --t_in_call;
        {
            SignalWindow program_code;
            isr->handler();
        }
        ++t_in_call;
        lk.lock();
        if (finished) return;
        if (isr->pending > 0) {
            --isr->pending;
            if (t->st == St::Holder) {
                maybe_yield(lk, t);
            } else {
                make_ready(t);
                if (!holder) dispatch(lk);
            }
            continue;
        }
        if (holder == t) {
            holder = nullptr;
            fast.drop(lk);
        }
        t->st = St::Waiting;
        t->wants_edge = true;
        ++activity;
        dispatch(lk);
    }
}

}  // namespace pikit::sim

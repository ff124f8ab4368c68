// wiringPi's interrupts and threads on the simulated Pi.
//
// An interrupt set up with wiringPiISR runs its handler on a thread of its
// own, once per edge (the board does that). waitForInterrupt waits on the
// same pin for the next edge of the kind set up, as a program's own thread
// does on a Pi with the pin's edge file: an edge that comes while nobody
// waits is kept (one, not a count) and ends the next wait at once.
//
// piLock and piUnlock are four mutexes whose waiting threads wait in virtual
// time, like a thread in delay(): a thread that waits for a key held by one
// that sleeps lets time run on, and gets the key at the instant it is given up.
#include <pthread.h>
#include <wiringPi.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>

#include "api/front.h"

using pikit::sim::Board;
using pikit::sim::Device;
using pikit::sim::Level;
using pikit::sim::PinRole;
namespace api = pikit::sim::api;

namespace {

Board& board() { return api::board_for("wiringPi"); }

// Watches a pin with an interrupt set up, for waitForInterrupt.
class EdgeWatch final : public Device {
public:
    EdgeWatch(int pin, int mode) : Device("interrupt", "interrupt " + pikit::sim::pin_name(pin)), pin_(pin), mode_(mode) {}
    void attach(Board& b) override { b.attach(*this, pin_, PinRole::Input); }
    void on_edge(int pin, Level level) override {
        if (pin != pin_) return;
        const bool falling = level == Level::Low;
        const bool wanted = mode_ == INT_EDGE_BOTH || mode_ == INT_EDGE_SETUP || (mode_ == INT_EDGE_FALLING && falling) ||
                            (mode_ == INT_EDGE_RISING && !falling);
        if (!wanted) return;
        if (wakeup.thread) board()->wake(wakeup);
        else pending = true;
    }
    // Guarded by the board lock.
    Board::Wakeup wakeup;
    bool pending = false;

private:
    int pin_;
    int mode_;
};

struct Interrupts {
    std::mutex m;
    std::uint64_t board = 0;
    EdgeWatch* watch[32] = {};
} g_irq;

EdgeWatch* watch_of(Board& b, int pin) {
    std::lock_guard<std::mutex> lk(g_irq.m);
    if (g_irq.board != b.impl_generation() || pin < 0 || pin >= 32) return nullptr;
    return g_irq.watch[pin];
}

// piLock's keys, for one board. Guarded by the board lock.
struct Key {
    bool held = false;
    std::deque<Board::Wakeup*> waiting;
};
struct Keys {
    std::mutex m;
    std::uint64_t board = 0;
    Key key[4];
} g_keys;

Key* key_of(Board& b, int key, const char* call) {
    if (key < 0 || key > 3) {
        // wiringPi has four keys and does not check: any other number would
        // reach past them.
        api::library_error(b, std::string(call) + "(" + std::to_string(key) + "): the keys are 0 to 3; ignored");
        return nullptr;
    }
    std::lock_guard<std::mutex> lk(g_keys.m);
    if (g_keys.board != b.impl_generation()) {
        g_keys.board = b.impl_generation();
        for (Key& k : g_keys.key) k = Key{};
    }
    return &g_keys.key[key];
}

}  // namespace

extern "C" {

int wiringPiISR(int pin, int mode, void (*function)(void)) {
    Board& b = board();
    const int w = api::board_pin(pin);
    if (w < 0) {
        api::unmapped(b, "wiringPiISR", pin);
        return -1;
    }
    api::note_pin_use(b, w);
    const int r = b.isr(w, mode, function);
    if (r != 0) return r;
    auto watch = std::make_unique<EdgeWatch>(w, mode);
    EdgeWatch* raw = watch.get();
    b.add(std::move(watch));
    std::lock_guard<std::mutex> lk(g_irq.m);
    if (g_irq.board != b.impl_generation()) {
        g_irq.board = b.impl_generation();
        for (auto& p : g_irq.watch) p = nullptr;
    }
    g_irq.watch[w] = raw;
    return 0;
}

int waitForInterrupt(int pin, int mS) {
    Board& b = board();
    const int w = api::board_pin(pin);
    EdgeWatch* watch = w < 0 ? nullptr : watch_of(b, w);
    if (!watch) return -2;  // no edge set up on the pin, as on a Pi
    bool busy = false;
    const bool edge =
        b.wait_for_wakeup(watch->wakeup, mS < 0 ? pikit::sim::kNever : static_cast<pikit::sim::Time>(mS) * 1000000, [&] {
            if (watch->pending) {
                watch->pending = false;
                return true;
            }
            if (watch->wakeup.thread) {  // another thread waits on the pin already
                busy = true;
                return true;
            }
            return false;
        });
    if (busy) {
        errno = EBUSY;
        return -1;
    }
    return edge ? 1 : 0;
}

int piThreadCreate(void* (*fn)(void*)) {
    Board& b = board();
    struct Start {
        void* (*fn)(void*);
        Board* board;
        void* rec;
    };
    auto* start = new Start{fn, &b, b.expect_thread("thread")};
    pthread_t thread;
    const int r = pthread_create(
        &thread, nullptr,
        [](void* p) -> void* {
            Start s = *static_cast<Start*>(p);
            delete static_cast<Start*>(p);
            if (s.board == Board::current()) s.board->adopt_thread(s.rec);
            return s.fn(nullptr);
        },
        start);
    if (r != 0) {
        if (start->rec) b.thread_gone(start->rec);
        delete start;
        return r;
    }
    // Nobody can join it (its handle is not handed out): it cleans up after
    // itself when it ends.
    pthread_detach(thread);
    return 0;
}

void piLock(int key) {
    Board& b = board();
    Key* k = key_of(b, key, "piLock");
    if (!k) return;
    Board::Wakeup w;
    b.wait_for_wakeup(w, pikit::sim::kNever, [&] {
        if (!k->held) {
            k->held = true;
            return true;
        }
        k->waiting.push_back(&w);
        return false;
    });
}

void piUnlock(int key) {
    Board& b = board();
    Key* k = key_of(b, key, "piUnlock");
    if (!k) return;
    b.apply([&] {
        if (k->waiting.empty()) {
            k->held = false;
            return;
        }
        // The key goes straight to the thread that has waited longest.
        Board::Wakeup* next = k->waiting.front();
        k->waiting.pop_front();
        b.wake(*next);
    });
}

}  // extern "C"

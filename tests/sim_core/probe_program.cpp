// A stand-in program for the run-control tests, built against the simulated
// kit like the demos: it ends in the ways the demos do not, chosen by
// PROBE_MODE (a test fixture may read its environment; the demos never do).
//   handle       catches SIGINT and SIGTERM itself, says so, keeps using the
//                library for 5 ms and returns 0
//   thread-exit  a second thread calls exit(7) at 5 ms while main sleeps
//   switch-off   drives pin 0 HIGH and sleeps; its SIGTERM handler drives
//                the pin LOW through the library, then hands the signal on
//   blink        toggles pin 0 every millisecond for ever, with many pin
//                calls between the waits; its SIGINT and SIGTERM handler
//                drives the pin LOW and calls exit(0), the commonest way a
//                Pi program cleans up
//   sleep        says it is ready and sleeps for ever, a second at a time
//   count        reads pin 7 (pulled up at power-on) 300 times, a
//                millisecond apart, printing each value, then returns 0;
//                a value of 0 would be one the Pi never gives
//   slow-exit    runs a soft PWM on pin 1, waits 5 ms and calls exit(3);
//                its own atexit() clean-up takes 100 ms of wall time, while
//                the PWM's edges fall due
#include <softPwm.h>
#include <wiringPi.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/board.h"
#include "core/config.h"
#include "core/model.h"

// The kit's start-up wires this instead of a scenario file of its own.
extern "C" const char pikit_sim_default_scenario[] = "description: nothing wired\n";
extern "C" const char pikit_sim_default_scenario_name[] = "probe.yaml";

namespace {

using namespace pikit::sim;

// A part gone wrong, for a scenario to wire: it has something to do every
// nanosecond, for ever.
class Flood final : public Device {
public:
    explicit Flood(const std::string& name) : Device("flood", name) {}
    void attach(Board& b) override {
        b.schedule(b.now() + 1, [this] { tick(); });
    }

private:
    void tick() {
        board()->schedule(board()->now() + 1, [this] { tick(); });
    }
};

struct NoSettings {};

const DeviceRegistrar flood{ModelOf<Flood, NoSettings>(
    "flood", "a part with something to do every nanosecond", Fields<NoSettings>(),
    [](const std::string& name, const NoSettings&, const Config&) { return std::make_unique<Flood>(name); })};

volatile std::sig_atomic_t caught = 0;

void on_signal(int sig) { caught = sig; }

// What a program does to leave its outputs safe: switch them off, then
// hand the signal on to what was there before (on a Pi the default action:
// the process dies of it).
void (*before)(int) = SIG_DFL;
void switch_off(int sig) {
    digitalWrite(0, LOW);
    std::signal(sig, before);
    std::raise(sig);
}

// Clean-up that takes its time (closing a device, writing a file), run by
// exit() after the thread's thread-local objects have gone.
void slow_clean_up() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

void low_and_exit(int) {
    digitalWrite(0, LOW);
    std::exit(0);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* mode = std::getenv("PROBE_MODE");
    if (mode && std::strcmp(mode, "handle") == 0) {
        std::signal(SIGINT, on_signal);
        std::signal(SIGTERM, on_signal);
        std::puts("ready");
        while (!caught) delay(1);
        std::printf("caught %d\n", static_cast<int>(caught));
        delay(5);
        std::puts("done");
        return 0;
    }
    if (mode && std::strcmp(mode, "thread-exit") == 0) {
        // The kit knows a thread from its first library call; main waits for
        // that without a call of its own (the kit lets the thread go first
        // once main spins), so that no time passes before the thread is known.
        static std::atomic<bool> known{false};
        std::thread([] {
            digitalRead(0);
            known = true;
            delay(5);
            std::exit(7);
        }).detach();
        while (!known.load()) {}
        for (;;) delay(1000);
    }
    if (mode && std::strcmp(mode, "switch-off") == 0) {
        before = std::signal(SIGTERM, switch_off);
        pinMode(0, OUTPUT);
        digitalWrite(0, HIGH);
        for (;;) delay(1);
    }
    if (mode && std::strcmp(mode, "blink") == 0) {
        std::signal(SIGINT, low_and_exit);
        std::signal(SIGTERM, low_and_exit);
        pinMode(0, OUTPUT);
        std::puts("ready");
        for (unsigned n = 0;; ++n) {
            digitalWrite(0, HIGH);
            for (int i = 0; i < 50; ++i) digitalRead(0);
            delayMicroseconds(n % 7 * 10);
            digitalWrite(0, LOW);
            delay(1);
        }
    }
    if (mode && std::strcmp(mode, "sleep") == 0) {
        std::puts("ready");
        for (;;) delay(1000);
    }
    if (mode && std::strcmp(mode, "slow-exit") == 0) {
        std::atexit(slow_clean_up);
        softPwmCreate(1, 10, 100);
        delay(5);
        std::exit(3);
    }
    if (mode && std::strcmp(mode, "count") == 0) {
        for (int i = 0; i < 300; ++i) {
            std::printf("%d\n", digitalRead(7));
            delay(1);
        }
        return 0;
    }
    std::puts("unknown PROBE_MODE");
    return 1;
}

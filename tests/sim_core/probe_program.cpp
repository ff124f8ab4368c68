// A stand-in program for the run-control tests, built against the simulated
// kit like the demos: it ends in the ways the demos do not, chosen by
// PROBE_MODE (a test fixture may read its environment; the demos never do).
//   handle       catches SIGINT and SIGTERM itself, says so, keeps using the
//                library for 5 ms and returns 0
//   thread-exit  a second thread calls exit(7) at 5 ms while main sleeps
//   switch-off   drives pin 0 HIGH and sleeps; its SIGTERM handler drives
//                the pin LOW through the library, then hands the signal on
#include <wiringPi.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

// The kit's start-up wires this instead of a scenario file of its own.
extern "C" const char pikit_sim_default_scenario[] = "description: nothing wired\n";
extern "C" const char pikit_sim_default_scenario_name[] = "probe.yaml";

namespace {

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
        while (!known.load()) {
        }
        for (;;) delay(1000);
    }
    if (mode && std::strcmp(mode, "switch-off") == 0) {
        before = std::signal(SIGTERM, switch_off);
        pinMode(0, OUTPUT);
        digitalWrite(0, HIGH);
        for (;;) delay(1);
    }
    std::puts("unknown PROBE_MODE");
    return 1;
}

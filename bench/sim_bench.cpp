// Simulator throughput: raw pin operations on one thread with tracing off; how
// many virtual seconds the type conversion demo's default run simulates per
// wall second at max speed; what a pin call that changes nothing costs on the
// thread holding the clock; how fast a loop that polls pins without waiting
// runs; and how fast a main thread spinning on memory next to a busy
// interrupt handler runs.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <wiringPi.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/board.h"
#include "support/key_frame.h"

extern char** environ;

namespace {

using namespace pikit::sim;

void BM_PinOperations(benchmark::State& state) {
    Options o;
    o.record_history = false;
    Board board(o);
    pinMode(0, OUTPUT);
    int v = 0;
    for (auto _ : state) {
        digitalWrite(0, v);
        v ^= 1;
        benchmark::DoNotOptimize(digitalRead(0));
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.counters["pin_ops_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * 2), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PinOperations);

void BM_CastDemoVirtualSecondsPerWallSecond(benchmark::State& state) {
    const std::string path = std::string(PIKIT_BIN_DIR) + "/cast-demo";
    const double virtual_seconds = 60.0;
    for (auto _ : state) {
        std::vector<std::string> env{"PIKIT_SIM_SPEED=max", "PIKIT_SIM_UNTIL=60s"};
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("PIKIT_SIM_", 0) != 0) env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", 1, 0);
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid;
        if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, envp.data()) != 0) {
            state.SkipWithError("cannot start cast-demo");
            return;
        }
        int status;
        waitpid(pid, &status, 0);
        auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        posix_spawn_file_actions_destroy(&fa);
        state.SetIterationTime(wall);
        state.counters["virtual_s_per_wall_s"] = virtual_seconds / wall;
    }
}
BENCHMARK(BM_CastDemoVirtualSecondsPerWallSecond)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The cases below report the median of five runs (each a fresh board).

// A pin call that changes nothing (a read, a write of the level the latch
// already holds) by the only thread, with nothing scheduled: the time per
// iteration is the wall time of one call.
void BM_NoEffectRead(benchmark::State& state) {
    Options o;
    o.record_history = false;
    Board board(o);
    pinMode(6, INPUT);
    for (auto _ : state) benchmark::DoNotOptimize(digitalRead(6));
}
BENCHMARK(BM_NoEffectRead)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_NoEffectWrite(benchmark::State& state) {
    Options o;
    o.record_history = false;
    Board board(o);
    pinMode(23, OUTPUT);
    digitalWrite(23, LOW);
    for (auto _ : state) digitalWrite(23, LOW);
}
BENCHMARK(BM_NoEffectWrite)->Repetitions(5)->ReportAggregatesOnly(true);

// Wall seconds of `body` run on a fresh board (built by `make`) until its run
// limit at `virtual_s`, reported as virtual seconds per wall second.
template <class Make, class Body>
void virtual_rate(benchmark::State& state, double virtual_s, Make make, Body body) {
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        Options o;
        o.record_history = false;
        o.until = static_cast<Time>(virtual_s * 1e9);
        o.on_until = [&stop] { stop = true; };
        auto t0 = std::chrono::steady_clock::now();
        {
            Board board(o);
            make(board);
            body(stop);
        }
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(wall);
        state.counters["virtual_s_per_wall_s"] = virtual_s / wall;
    }
}

// An infrared receiver's polling loop: keep an LED off, look at the receiver
// line, again, with no wait, at the default 100 ns per pin call.
void BM_PollingLoopVirtualSecondsPerWallSecond(benchmark::State& state) {
    virtual_rate(
        state, 5.0,
        [](Board&) {
            pinMode(23, OUTPUT);
            pinMode(6, INPUT);
        },
        [](std::atomic<bool>& stop) {
            while (!stop.load(std::memory_order_relaxed)) {
                digitalWrite(23, LOW);
                benchmark::DoNotOptimize(digitalRead(6));
            }
        });
}
BENCHMARK(BM_PollingLoopVirtualSecondsPerWallSecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// A key interrupt line: falls at the given times, rises 5 ms later.
class KeyLine final : public Device {
public:
    KeyLine() : Device("key-line", "keys") {}
    void attach(Board& b) override { b.attach(*this, kPin, PinRole::OpenDrain); }
    void press_at(Time at) {
        board()->apply([this, at] {
            board()->schedule(at, [this] { board()->drive(*this, kPin, Drive::Low); });
            board()->schedule(at + 5_ms, [this] { board()->drive(*this, kPin, Drive::Release); });
        });
    }
    static constexpr int kPin = 21;
};

// The main thread spins on a byte the interrupt handler sets; each key makes
// it send nine display frames (33 clocked writes and a 30 ms rest each).
void BM_SpinOnMemoryVirtualSecondsPerWallSecond(benchmark::State& state) {
    virtual_rate(
        state, 20.0,
        [](Board& board) {
            pikit::test::key_ready = 0;
            board.set_external_pull(KeyLine::kPin, Pull::Up);
            auto& keys = board.add(std::make_unique<KeyLine>());
            for (int i = 0; i < 10; ++i) keys.press_at(1_s + i * 2_s);
            pinMode(12, OUTPUT);
            pinMode(14, OUTPUT);
            wiringPiISR(KeyLine::kPin, INT_EDGE_FALLING, pikit::test::read_key_frame);
        },
        [](std::atomic<bool>& stop) {
            while (!stop.load()) {
                if (pikit::test::key_ready.load() == 0) continue;
                for (int frame = 0; frame < 9; ++frame) {
                    for (int bit = 0; bit < 33; ++bit) {
                        digitalWrite(12, bit & 1);
                        delayMicroseconds(50);
                    }
                    delay(30);
                }
                pikit::test::key_ready = 0;
            }
        });
}
BENCHMARK(BM_SpinOnMemoryVirtualSecondsPerWallSecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

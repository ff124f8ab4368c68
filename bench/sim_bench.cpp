// Simulator throughput: raw pin operations on one thread with tracing off, and
// how many virtual seconds the type conversion demo's default run simulates per
// wall second at max speed.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <wiringPi.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/board.h"

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
    state.counters["pin_ops_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * 2), benchmark::Counter::kIsRate);
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

}  // namespace

BENCHMARK_MAIN();

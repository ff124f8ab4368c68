// The same scenario gives the same output, the same trace and the same log on
// every run, whatever the host is doing meanwhile: with every core busy, or
// under valgrind, whose threads run one at a time and far slower.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sanitizers.h"

namespace {

using namespace pikit::test;

// What a run of a program that spins leaves.
struct SpinRun {
    RunResult result;
    std::string vcd, log;
};

SpinRun run_spinning(const std::string& program, const std::string& until, const std::string& dir, const std::string& tag,
                     const std::vector<std::string>& wrapper = {}) {
    SpinRun run;
    std::string vcd = dir + "/" + tag + ".vcd", log = dir + "/" + tag + ".log";
    const std::map<std::string, std::string> env{{"PIKIT_SIM_UNTIL", until}, {"PIKIT_SIM_VCD", vcd}, {"PIKIT_SIM_LOG", log}};
    // Up to three runs a test: each well inside the test's own timeout. A
    // run under valgrind may take most of it on a busy machine (valgrind
    // runs one thread at a time, and far slower): what it leaves is what
    // counts, not how long it takes.
    run.result = wrapper.empty() ? run_program(program, env, 10.0) : run_program_wrapped(wrapper, program, env, 45.0);
    run.vcd = read_file(vcd);
    run.log = read_file(log);
    return run;
}

// The probe program polls a pin, then spins on memory beside an interrupt
// handler that reads a key frame.
SpinRun run_probe(const std::string& dir, const std::string& tag, const std::vector<std::string>& wrapper = {}) {
    return run_spinning(SPIN_PROBE, "400ms", dir, tag, wrapper);
}

// The probe polls from 400 ns (after four pinMode calls) in rounds of a read
// and a write of 100 ns each; the receiver line falls at 4567891 ns, and the
// read of round i sees it when 400 + 200 i + 100 >= 4567891.
const char* const kProbeOutput =
    "receiver low after 22837 polls\n"
    "key 1: ff\n"
    "key 2: ff\n";

void expect_same_run(const SpinRun& run, const SpinRun& first, const std::string& what) {
    EXPECT_FALSE(run.result.timed_out) << what;
    EXPECT_EQ(run.result.signal, SIGTERM) << what << ": " << run.result.err;
    EXPECT_EQ(run.result.out, first.result.out) << what;
    EXPECT_TRUE(run.vcd == first.vcd) << what << ": the trace differs";
    EXPECT_EQ(run.log, first.log) << what;
}

TEST(Determinism, RepeatedRunsOfABitBangedProgramLeaveIdenticalTracesAndLogs) {
    std::string dir = temp_dir();
    std::string first_out, first_vcd, first_log;
    for (int run = 0; run < 3; ++run) {
        std::string vcd = dir + "/run" + std::to_string(run) + ".vcd";
        std::string log = dir + "/run" + std::to_string(run) + ".log";
        auto r = run_program("humidity-demo", {{"PIKIT_SIM_UNTIL", "2500ms"}, {"PIKIT_SIM_VCD", vcd}, {"PIKIT_SIM_LOG", log}});
        ASSERT_FALSE(r.timed_out);
        std::string v = read_file(vcd), l = read_file(log);
        ASSERT_GT(v.size(), 3000u) << "the trace holds the I2C traffic";
        if (run == 0) {
            first_out = r.out;
            first_vcd = v;
            first_log = l;
        } else {
            EXPECT_EQ(r.out, first_out);
            EXPECT_TRUE(v == first_vcd) << "trace of run " << run << " differs";
            EXPECT_EQ(l, first_log);
        }
    }
}

TEST(Determinism, AProgramThatSpinsRunsIdenticallyAlsoWithEveryCoreBusy) {
    std::string dir = temp_dir();
    SpinRun first = run_probe(dir, "first");
    ASSERT_EQ(first.result.signal, SIGTERM) << first.result.err;
    EXPECT_EQ(first.result.out, kProbeOutput);
    EXPECT_NE(first.log.find("run limit reached"), std::string::npos);
    expect_same_run(run_probe(dir, "again"), first, "second run");
    CpuHogs hogs;
    expect_same_run(run_probe(dir, "loaded"), first, "run with every core busy");
}

TEST(Determinism, TheKeypadDemoRunsIdenticallyAlsoWithEveryCoreBusy) {
    // Its main loop spins on the key byte its interrupt handler sets after
    // reading the key over the controller's link.
    std::string dir = temp_dir();
    SpinRun first = run_spinning("keypad-display-demo", "2500ms", dir, "first");
    ASSERT_EQ(first.result.signal, SIGTERM) << first.result.err;
    EXPECT_EQ(first.result.out, "Key value: 7 \nKey value: 17 \n");
    CpuHogs hogs;
    expect_same_run(run_spinning("keypad-display-demo", "2500ms", dir, "loaded"), first, "run with every core busy");
}

TEST(Determinism, AProgramThatSpinsRunsIdenticallyUnderValgrind) {
    if (!on_path("valgrind")) GTEST_SKIP() << "valgrind is not installed";
    if (runs_emulated()) GTEST_SKIP() << "the programs are built for another machine";
    if (thread_sanitized() || address_sanitized()) GTEST_SKIP() << "valgrind cannot run a program built with a sanitizer";
    std::string dir = temp_dir();
    SpinRun native = run_probe(dir, "native");
    ASSERT_EQ(native.result.out, kProbeOutput) << native.result.err;
    // Valgrind runs one thread at a time; fair scheduling keeps the spinning
    // thread from starving the others of their turn, which only makes the run
    // quicker (the result is the same either way).
    SpinRun slow = run_probe(dir, "valgrind", {"valgrind", "-q", "--fair-sched=yes", "--error-exitcode=99"});
    expect_same_run(slow, native, "run under valgrind");
    EXPECT_EQ(slow.result.err, "") << "valgrind reports";
}

TEST(Determinism, AProgramPollingAtZeroPinCallCostIsReportedAsFrozen) {
    auto r = run_program(SPIN_PROBE, {{"PIKIT_SIM_PIN_COST", "0ns"}, {"PIKIT_SIM_UNTIL", "400ms"}});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("virtual time frozen"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace

// ir-nec-demo as a process under the simulated kit: what it prints, byte for
// byte, for the frames a remote sends and the links it sends them over.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

using pikit::test::run_program;
using pikit::test::RunResult;

const std::string kHeading = "IRM test program ... \n";

RunResult run(const std::string& scenario, const char* until) {
    std::map<std::string, std::string> env{{"PIKIT_SIM_UNTIL", until}};
    if (!scenario.empty()) env["PIKIT_SIM_SCENARIO"] = pikit::test::source_path("tests/ir/scenarios/" + scenario);
    RunResult r = run_program("ir-nec-demo", env);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 15) << "ended by the run limit, never by itself; stderr: " << r.err;
    EXPECT_EQ(r.err, "");
    return r;
}

// The default scenario presses (0x00, 0x45) at 1 s and (0x00, 0xAB) at 2 s.
TEST(IrNecDemo, DefaultScenarioPrintsTheTwoKeysOfItsFirstSeconds) {
    EXPECT_EQ(run("", "3s").out, kHeading + "Get the key: 0x45\nGet the key: 0xab\n");
}

TEST(IrNecDemo, PrintsGoodFramesOnlyAndIsBlindForAWhileAfterEach) {
    EXPECT_EQ(run("frames.yaml", "4s").out, kHeading +
                                                "Get the key: 0x01\n"
                                                "Get the key: 0x04\n"
                                                "Get the key: 0x06\n"
                                                "Get the key: 0x08\n"
                                                "Get the key: 0x09\n"
                                                "Get the key: 0xab\n");
}

TEST(IrNecDemo, DecodesWithinItsToleranceAndNotBeyond) {
    EXPECT_EQ(run("tolerance.yaml", "2700ms").out, kHeading +
                                                       "Get the key: 0x11\n"
                                                       "Get the key: 0x13\n"
                                                       "Get the key: 0x15\n"
                                                       "Get the key: 0x17\n"
                                                       "Get the key: 0x18\n");
}

TEST(IrNecDemo, AFloatingPinWithoutAReceiverPrintsNothing) { EXPECT_EQ(run("no-receiver.yaml", "800ms").out, kHeading); }

}  // namespace

// The same scenario gives the same output, the same trace and the same log on
// every run, whatever the host is doing meanwhile.
#include <gtest/gtest.h>

#include "support/run_program.h"

namespace {

using namespace pikit::test;

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

}  // namespace

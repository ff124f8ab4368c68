// The shift-register demos' three wires as sigrok's spi decoder reads them
// from the trace (data, shift clock, and the latch framing each update like
// an active-low select): one byte per update, most significant bit first,
// the running light's patterns in order.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/decode.h"
#include "support/run_program.h"

namespace {

using namespace pikit::test;

// LED 0 (bit 0) lights first, all eight, then they go out from LED 7 down.
std::vector<std::uint32_t> running_light(int updates) {
    static const std::uint32_t cycle[16] = {0x01, 0x03, 0x07, 0x0F, 0x1F, 0x3F, 0x7F, 0xFF,
                                            0x7F, 0x3F, 0x1F, 0x0F, 0x07, 0x03, 0x01, 0x00};
    std::vector<std::uint32_t> out;
    for (int i = 0; i < updates; ++i) out.push_back(cycle[i % 16]);
    return out;
}

TEST(ShiftLedDecode, EachUpdateIsOnePatternByteMostSignificantBitFirst) {
    PIKIT_NEED_SIGROK();
    struct Case {
        const char* program;
        const char* until;  // a whole cycle and the first update of the next
    } cases[] = {{"shift-led-demo", "16500ms"}, {"led-chaser-demo", "8250ms"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        const std::string vcd = temp_dir() + "/run.vcd";
        const RunResult r = run_program(c.program, {{"PIKIT_SIM_UNTIL", c.until}, {"PIKIT_SIM_VCD", vcd}});
        EXPECT_EQ(r.signal, 15) << r.err;
        SpiLink link;
        link.mosi = 0;
        link.clk = 2;
        link.cs = 3;
        const SpiDecode d = decode_spi(vcd, link);
        EXPECT_EQ(d.problems, std::vector<std::string>{});
        EXPECT_EQ(d.mosi, running_light(17));
    }
}

}  // namespace

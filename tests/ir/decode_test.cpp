// What the infrared demos' wires carry, as sigrok's decoders read them from
// the trace: the NEC frames on the receiver's output, and the board reader's
// register reads on the I2C bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/decode.h"
#include "support/run_program.h"

namespace {

using namespace pikit::test;

// The default scenario's two keys, (0x00, 0x45) and (0x00, 0xAB), each byte
// followed by its complement, as the ir_nec decoder names them.
TEST(IrDecode, TheReceiverCarriesTheDefaultKeysAsNecFrames) {
    PIKIT_NEED_SIGROK();
    const std::string vcd = temp_dir() + "/nec.vcd";
    const RunResult r = run_program("ir-nec-demo", {{"PIKIT_SIM_UNTIL", "2100ms"}, {"PIKIT_SIM_VCD", vcd}});
    EXPECT_EQ(r.signal, 15) << r.err;
    std::vector<std::string> fields;
    for (const Annotation& a : sigrok_decode(vcd, "ir_nec:ir=" + vcd_channel(6) + ":polarity=active-low"))
        if (a.text.rfind("Address", 0) == 0 || a.text.rfind("Command", 0) == 0) fields.push_back(a.text);
    EXPECT_EQ(fields, (std::vector<std::string>{"Address: 0x00", "Address#: 0xFF", "Command: 0x45", "Command#: 0xBA",
                                                "Address: 0x00", "Address#: 0xFF", "Command: 0xAB", "Command#: 0x54"}));
}

// Every poll is one combined transfer: register 4 written, a repeated START,
// two bytes read high byte first; the poll after the first key reads 0x0045.
TEST(IrDecode, EachPollIsARegisterNumberThenTwoBytesAfterARepeatedStart) {
    PIKIT_NEED_SIGROK();
    const std::string vcd = temp_dir() + "/board.vcd";
    const RunResult r = run_program("ir-board-demo", {{"PIKIT_SIM_UNTIL", "1200ms"}, {"PIKIT_SIM_VCD", vcd}});
    EXPECT_EQ(r.signal, 15) << r.err;
    const I2cDecode d = decode_i2c(vcd, 8, 9);
    EXPECT_EQ(d.problems, std::vector<std::string>{});
    std::vector<I2cTransfer> want;
    for (int poll = 0; poll < 12; ++poll) {
        I2cTransfer w = i2c_write(0x2D, {4});
        w.stop = false;  // a repeated START follows
        want.push_back(w);
        want.push_back(i2c_read(0x2D, poll == 11 ? std::vector<std::uint8_t>{0x00, 0x45} : std::vector<std::uint8_t>{0, 0}));
    }
    EXPECT_TRUE(same_traffic(d.transfers, want));
}

}  // namespace

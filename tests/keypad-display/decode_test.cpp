// The keypad demo's link as sigrok's spi decoder reads it from the trace:
// clock idling high, the data-in bit valid at the rising edge, sixteen bits a
// frame with the address byte first; the controller's reply shifted out on
// data-out in the same clocks. No chip select: the decoder frames the words
// by counting bits, so a single lost or extra clock would shift every later
// frame and show.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/decode.h"
#include "support/run_program.h"

namespace {

using namespace pikit::test;

// The frames DisplayNumber sends for a key value below 100: the decimal
// point of position 2, the blanked leading positions, then the digits.
std::vector<std::uint32_t> shown(int key) {
    std::vector<std::uint32_t> f{0x1C17};
    if (key < 10) f.insert(f.end(), {0x00FF, 0x1800, 0x1000, 0x01FF, 0x1800, 0x1100});
    else f.insert(f.end(), {0x00FF, 0x1800, 0x1000, 0x1B00u | 0x10u | static_cast<std::uint32_t>(key / 10)});
    f.push_back(0x1B20u | static_cast<std::uint32_t>(key % 10));
    f.push_back(0x1B30);  // tenths: 0
    return f;
}

TEST(KeypadDecode, FramesOfTheDefaultRunAreTheClearTheKeyReadsAndTheNumbers) {
    PIKIT_NEED_SIGROK();
    const std::string vcd = temp_dir() + "/run.vcd";
    const RunResult r = run_program("keypad-display-demo", {{"PIKIT_SIM_UNTIL", "4s"}, {"PIKIT_SIM_VCD", vcd}});
    EXPECT_EQ(r.signal, 15) << r.err;
    EXPECT_EQ(r.out, "Key value: 7 \nKey value: 17 \nKey value: 31 \n");

    SpiLink link;
    link.clk = 14;
    link.mosi = 12;
    link.miso = 13;
    link.cpol = 1;
    link.cpha = 1;
    link.word_bits = 16;
    // The clock idles HIGH only once the program has set the link up: its
    // first rise, at start-up, is no bit of any frame.
    link.from_ns = 10000;
    const SpiDecode d = decode_spi(vcd, link);
    EXPECT_EQ(d.problems, std::vector<std::string>{});

    // ClearAll, then for each key: the interrupt handler's key read (address
    // 0xFF, data 0xFF), and the number.
    std::vector<std::uint32_t> want{0x1DFF, 0x1800, 0x1000, 0x1100, 0x1200, 0x1300};
    std::vector<std::size_t> reads;
    for (int key : {7, 17, 31}) {
        reads.push_back(want.size());
        want.push_back(0xFFFF);
        for (std::uint32_t w : shown(key)) want.push_back(w);
    }
    EXPECT_EQ(d.mosi, want);

    // The reply to each key read carries the key held down: its value is
    // bits 15-11 of the reply's complement.
    ASSERT_EQ(d.miso.size(), d.mosi.size());
    const int keys[] = {7, 17, 31};
    for (std::size_t i = 0; i < reads.size(); ++i)
        EXPECT_EQ(((~d.miso[reads[i]]) & 0xFFFF) >> 11, static_cast<std::uint32_t>(keys[i])) << "key read " << i;
}

}  // namespace

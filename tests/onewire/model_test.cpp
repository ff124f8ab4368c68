// The driver against the simulated GX2431 at its timing corners: the demo's
// whole sequence must go through without the part seeing a single breach.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "GX2431.h"
#include "core/board.h"
#include "devices/gx2431.h"

namespace {

using namespace pikit::sim;

const std::uint8_t kTag[8] = {'<', 'V', 'e', 'x', 'o', 'r', 'a', '>'};

std::string breaches(const Board& board) {
    std::string s;
    for (const auto& r : board.reports(ReportKind::Breach)) s += format_time(r.at) + " " + r.text + "\n";
    return s;
}

class DriverAtCorner : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Corners, DriverAtCorner, ::testing::Values("typical", "fast", "slow"));

TEST_P(DriverAtCorner, DemoSequenceWithoutBreach) {
    for (Time cost : {Time(0), 100_ns, 500_ns}) {
        SCOPED_TRACE("pin call cost " + std::to_string(cost) + " ns");
        Options o;
        o.pin_call_cost = cost;
        Board board(o);
        board.set_external_pull(27, Pull::Up);
        Gx2431Settings s = Gx2431Settings::at_corner(GetParam());
        s.persist = false;
        auto& chip = board.add(std::make_unique<Gx2431>("eeprom", s));

        ASSERT_EQ(eeprom_init(27), 1);
        std::uint8_t rom[8];
        ASSERT_TRUE(eeprom_begin(rom));
        EXPECT_EQ(rom[0], 0x2D);
        std::uint8_t mem[128];
        eeprom_m_read(0, mem, 128);
        EXPECT_EQ(mem[0], 0xFF);
        EXPECT_TRUE(eeprom_m_write(0, kTag, 8));
        eeprom_m_read(0, mem, 128);
        EXPECT_TRUE(std::equal(kTag, kTag + 8, mem));
        EXPECT_TRUE(std::equal(kTag, kTag + 8, chip.memory().begin()));
        EXPECT_EQ(chip.copies_done(), 1);

        // Skip ROM addressing, and a write through the verify path.
        eeprom_init(27);
        chip.add_reply_flip({FlipRule::Layer::Function, 0x0F, 0, 0, 0, 1});
        EXPECT_TRUE(eeprom_write(0x40, kTag, 8));
        EXPECT_EQ(chip.memory()[0x47], '>');
        EXPECT_EQ(breaches(board), "");
    }
}

}  // namespace

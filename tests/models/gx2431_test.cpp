// The GX2431's memory functions as a master sees them on the wire, the E/S
// register rules that guard Copy Scratchpad, the programming time, and the
// memory image that outlives a run.
#include <wiringPi.h>

#include <algorithm>
#include <filesystem>

#include "onewire_fixture.h"

namespace owtest {
namespace {

const std::vector<std::uint8_t> kTag{60, 86, 101, 120, 111, 114, 97, 62};

std::vector<std::uint8_t> cat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class GxCorner : public ::testing::TestWithParam<const char*> {};

TEST_P(GxCorner, WriteVerifyCopyAndReadBack) {
    Bus bus;
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", gx_at(GetParam())));
    ASSERT_TRUE(bus.m.reset());
    EXPECT_EQ(bus.m.read_rom(), gx.rom());
    EXPECT_EQ(gx.rom()[0], 0x2D);

    const auto crc = write_scratchpad(bus.m, 0x10, kTag);
    EXPECT_TRUE(crc16_ok(cat({0x0F, 0x10, 0x00}, kTag), crc[0], crc[1])) << hex(crc);

    const auto sp = read_scratchpad(bus.m);
    EXPECT_EQ(std::vector<std::uint8_t>(sp.begin(), sp.begin() + 3), (std::vector<std::uint8_t>{0x10, 0x00, 0x07}));
    EXPECT_EQ(std::vector<std::uint8_t>(sp.begin() + 3, sp.begin() + 11), kTag);
    EXPECT_TRUE(crc16_ok(cat({0xAA}, {sp.begin(), sp.begin() + 11}), sp[11], sp[12])) << hex(sp);
    EXPECT_EQ(row(gx, 2), std::vector<std::uint8_t>(8, 0xFF)) << "nothing programmed before the copy";

    bus.m.reset();
    bus.m.skip();
    bus.m.write({0x55, 0x10, 0x00, 0x07});
    delay(15);
    EXPECT_EQ(bus.m.read(3), (std::vector<std::uint8_t>{0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(row(gx, 2), kTag);
    EXPECT_EQ(gx.copies_done(), 1);

    EXPECT_EQ(read_memory(bus.m, 0x10, 8), kTag);
    const auto all = read_memory(bus.m, 0x00, 128);
    EXPECT_EQ(std::vector<std::uint8_t>(all.begin() + 16, all.begin() + 24), kTag);
    EXPECT_EQ(std::count(all.begin(), all.end(), 0xFF), 120);
    EXPECT_EQ(read_scratchpad(bus.m, 3)[2], 0x87) << "AA set once the copy is done";
    EXPECT_EQ(breaches(bus.board), "");
    EXPECT_TRUE(bus.board.contentions().empty());
}

INSTANTIATE_TEST_SUITE_P(Timing, GxCorner, ::testing::Values("typical", "fast", "slow"));

TEST(Gx2431, CopyOnlyWithTheExactAuthorisationOfACompleteWrite) {
    Bus bus;
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", gx_at("typical")));
    // Stopped after 5 of 8 bytes: PF set, ending offset 4, no CRC answer.
    write_scratchpad(bus.m, 0x08, {1, 2, 3, 4, 5}, 0);
    auto sp = read_scratchpad(bus.m, 3);
    EXPECT_EQ(sp, (std::vector<std::uint8_t>{0x08, 0x00, 0x24}));
    EXPECT_EQ(copy_scratchpad(bus.m, 0x08, 0x00, 0x24), 0xFF);
    EXPECT_EQ(row(gx, 1), std::vector<std::uint8_t>(8, 0xFF));

    write_scratchpad(bus.m, 0x08, kTag);
    EXPECT_EQ(copy_scratchpad(bus.m, 0x08, 0x00, 0x06), 0xFF) << "wrong E/S";
    EXPECT_EQ(copy_scratchpad(bus.m, 0x10, 0x00, 0x07), 0xFF) << "wrong TA1";
    EXPECT_EQ(copy_scratchpad(bus.m, 0x08, 0x01, 0x07), 0xFF) << "wrong TA2";
    EXPECT_EQ(row(gx, 1), std::vector<std::uint8_t>(8, 0xFF));
    EXPECT_EQ(copy_scratchpad(bus.m, 0x08, 0x00, 0x07), 0xAA);
    EXPECT_EQ(row(gx, 1), kTag);

    // A write that starts inside a row fills the scratchpad to its end and is complete there.
    const auto crc = write_scratchpad(bus.m, 0x1D, {7, 8, 9});
    EXPECT_TRUE(crc16_ok({0x0F, 0x1D, 0x00, 7, 8, 9}, crc[0], crc[1]));
    sp = read_scratchpad(bus.m, 3 + 3 + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(sp.begin(), sp.begin() + 6), (std::vector<std::uint8_t>{0x1D, 0, 0x07, 7, 8, 9}));
    EXPECT_TRUE(crc16_ok({0xAA, 0x1D, 0, 0x07, 7, 8, 9}, sp[6], sp[7]));

    write_scratchpad(bus.m, 0x80, kTag, 0);
    EXPECT_NE(breaches(bus.board).find("outside the data memory"), std::string::npos) << breaches(bus.board);
}

TEST(Gx2431, ReadMemoryPastTheEndGivesOnes) {
    Bus bus;
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", gx_at("typical")));
    std::array<std::uint8_t, 128> m{};
    for (int i = 0; i < 128; ++i) m[i] = static_cast<std::uint8_t>(i);
    gx.set_memory(m);
    EXPECT_EQ(read_memory(bus.m, 0x7D, 5), (std::vector<std::uint8_t>{0x7D, 0x7E, 0x7F, 0xFF, 0xFF}));
    EXPECT_EQ(read_memory(bus.m, 0x0100, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST(Gx2431, ProgrammingNeedsTheLineHeldHighThroughout) {
    Bus bus;
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", gx_at("slow")));
    write_scratchpad(bus.m, 0x00, kTag);
    bus.m.reset();
    bus.m.skip();
    bus.m.write({0x55, 0x00, 0x00, 0x07});
    delay(2);
    bus.m.release();  // power dropped to the pull-up alone
    delay(13);
    EXPECT_EQ(bus.m.read(), 0xFF);
    EXPECT_EQ(row(gx, 0), std::vector<std::uint8_t>(8, 0xFF));
    EXPECT_NE(breaches(bus.board).find("stopped driving the line high"), std::string::npos) << breaches(bus.board);

    // A slot during the programming time breaks it as well.
    bus.board.clear_records();
    bus.m.reset();
    bus.m.skip();
    bus.m.write({0x55, 0x00, 0x00, 0x07});
    delay(1);
    bus.m.read();
    delay(14);
    EXPECT_EQ(row(gx, 0), std::vector<std::uint8_t>(8, 0xFF));
    EXPECT_NE(breaches(bus.board).find("into the programming time"), std::string::npos) << breaches(bus.board);
}

TEST(Gx2431, MemoryOutlivesTheBoard) {
    const std::string dir = pikit::test::temp_dir();
    Gx2431Settings keep = gx_at("typical", true);
    {
        Bus bus(bus_options(100_ns, dir));
        auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", keep));
        write_scratchpad(bus.m, 0x00, kTag);
        ASSERT_EQ(copy_scratchpad(bus.m, 0x00, 0x00, 0x07), 0xAA);
        EXPECT_TRUE(std::filesystem::exists(gx.state_file()));
    }
    {
        Bus bus(bus_options(100_ns, dir));
        bus.board.add(std::make_unique<Gx2431>("tag", keep));
        EXPECT_EQ(read_memory(bus.m, 0x00, 8), kTag);
    }
    {
        // Another part (another ROM id) in the same place is blank, and a
        // part that does not persist leaves nothing behind.
        Bus bus(bus_options(100_ns, dir));
        Gx2431Settings other = keep;
        other.rom = make_rom({0x2D, 9, 9, 9, 9, 9, 9});
        bus.board.add(std::make_unique<Gx2431>("other", other));
        EXPECT_EQ(read_memory(bus.m, 0x00, 8), std::vector<std::uint8_t>(8, 0xFF));
    }
    {
        Bus bus(bus_options(100_ns, dir));
        Gx2431Settings temp = gx_at("typical", false);
        temp.rom = make_rom({0x2D, 7, 7, 7, 7, 7, 7});
        bus.board.add(std::make_unique<Gx2431>("temp", temp));
        write_scratchpad(bus.m, 0x00, kTag);
        ASSERT_EQ(copy_scratchpad(bus.m, 0x00, 0x00, 0x07), 0xAA);
    }
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

// What a run killed while saving left behind is cleared by the next one; a
// memory set before wiring still never replaces a file that is not one.
TEST(Gx2431, StateLeftoversAndForeignFiles) {
    const std::string dir = pikit::test::temp_dir();
    Gx2431Settings keep = gx_at("typical", true);
    const std::string mem = dir + "/gx2431-" + rom_hex(keep.rom) + ".mem";
    const std::string left = pikit::test::write_file(dir, "gx2431-" + rom_hex(keep.rom) + ".mem.tmp-Ab3dEf", "half");
    {
        Bus bus(bus_options(100_ns, dir));
        auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", keep));
        EXPECT_FALSE(std::filesystem::exists(left));
        write_scratchpad(bus.m, 0x00, kTag);
        ASSERT_EQ(copy_scratchpad(bus.m, 0x00, 0x00, 0x07), 0xAA);
        EXPECT_EQ(gx.state_file(), mem);
    }
    EXPECT_EQ(pikit::test::read_file(mem).substr(0, 8), std::string(kTag.begin(), kTag.end()));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"gx2431-" + rom_hex(keep.rom) + ".mem"}) << "no lock or temporary left";

    pikit::test::write_file(dir, "gx2431-" + rom_hex(keep.rom) + ".mem", "not a memory image");
    Bus bus(bus_options(100_ns, dir));
    auto gx = std::make_unique<Gx2431>("tag", keep);
    gx->set_memory({});
    EXPECT_THROW(bus.board.add(std::move(gx)), ScenarioError);
    EXPECT_EQ(pikit::test::read_file(mem), "not a memory image");
}

TEST(Gx2431, ScenarioSettings) {
    Bus bus;
    load_scenario_text(bus.board, R"(
devices:
  - type: gx2431
    name: tag
    rom: "2D 01 02 03 04 05 06"
    timing: fast
    hold_zero: 40us
    persist: false
    fill: 0x00
  - type: onewire-device
    name: other
    rom: [0x28, 1, 2, 3, 4, 5, 6, 0x00]
    alarm: true
)");
    auto* gx = dynamic_cast<Gx2431*>(bus.board.find("tag"));
    ASSERT_NE(gx, nullptr);
    EXPECT_EQ(gx->rom(), make_rom({0x2D, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(gx->timing().presence_wait, 15_us);
    EXPECT_EQ(gx->timing().hold_zero, 40_us);
    EXPECT_EQ(gx->memory()[5], 0x00);
    auto* other = dynamic_cast<OneWireDevice*>(bus.board.find("other"));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->rom()[7], 0x00) << "8 bytes are taken as given, wrong CRC and all";
    EXPECT_TRUE(other->alarm());

    struct Bad {
        const char* yaml;
        const char* says;
    } bad[] = {
        {"devices: [{type: gx2431, name: t, colour: red}]", "colour"},
        {"devices: [{type: gx2431, name: t, rom: \"2D 01 02\"}]", "rom"},
        {"devices: [{type: gx2431, name: t, presence_wait: 70us}]", "presence_wait"},
        {"devices: [{type: gx2431, name: t, timing: brisk}]", "timing"},
        {"devices: [{type: gx2431, name: t, program_time: 20ms}]", "program_time"},
        {"devices: [{type: gx2431, name: t, flip_reply: [{byte: 1}]}]", "flip_reply"},
        {"devices: [{type: onewire-device, name: d}]", "rom"},
        {"devices: [{type: gx2431, name: t, [a]: 1}]", "devices[0]: setting names must be plain words '[a]'"},
        {"devices: [{type: gx2431, name: t, fill: 0377}]", "fill"},
        {"devices: [{type: gx2431, name: t, copy_fails: 4294967296}]", "copy_fails"},
        // Two parts with one ROM id would share one memory file.
        {"devices: [{type: gx2431, name: a}, {type: gx2431, name: b}]",
         "devices[1]: another gx2431 in this run has the ROM id 2D5A3C1900000038"},
    };
    for (const auto& b : bad) {
        Board board(bus_options());
        try {
            load_scenario_text(board, b.yaml);
            ADD_FAILURE() << "accepted: " << b.yaml;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace owtest

// The infrared co-processor board, read by the board reader's own register
// access (stc_init, readi2c) through the Pi's controller: what the registers
// hold, when the key code clears, the faults on the wire, and a master that
// writes what the board does not take.
#include <bcm2835.h>

#include "devices/ir_board.h"
#include "core/plan.h"
#include "fixture.h"
#include "stc.h"

namespace {

using namespace modeltest;

// A board wired as on the kit, the controller started as the program does.
struct BoardBench : Bench {
    explicit BoardBench(const std::string& settings = "") : Bench(yaml(settings), Options{}) { EXPECT_EQ(stc_init(), 0); }
    static std::string yaml(const std::string& settings) {
        return "devices:\n  - {type: ir-board, name: board, sda: 8, scl: 9" + settings + "}\n";
    }
    IrBoard& part() { return device<IrBoard>("board"); }
    void press(std::uint16_t code, Time hold = 0) {
        board.apply([&] { part().press(code, hold); });
    }
};

TEST(IrBoard, RegistersReadHighByteFirstAndTheKeyClearsOnceRead) {
    BoardBench b(", register0: 0x1234, register2: 0xBEEF");
    EXPECT_EQ(stc_mic(), 0x1234);
    EXPECT_EQ(stc_sr(), 0xBEEF);
    EXPECT_EQ(stc_ir(), 0) << "no key yet";

    b.press(0xFF38);
    bcm2835_delay(60);
    EXPECT_EQ(stc_ir(), 0) << "the frame is still arriving";
    bcm2835_delay(10);
    EXPECT_EQ(b.part().code(), 0xFF38);
    EXPECT_EQ(stc_ir(), 0xFF38);
    EXPECT_EQ(stc_ir(), 0) << "cleared by the read";
    EXPECT_EQ(b.part().code_reads(), 4u) << "every read of register 4 counts, of a code or of 0";

    // On the wire: the register number, a repeated START, 0xFF then 0x38.
    const auto& t = b.part().transfers();
    ASSERT_GE(t.size(), 4u);
    const I2cTransfer& w = t[t.size() - 4];
    const I2cTransfer& r = t[t.size() - 3];
    EXPECT_FALSE(w.read);
    EXPECT_EQ(w.bytes, std::vector<std::uint8_t>{4});
    EXPECT_FALSE(w.stopped) << "ended by the repeated START";
    EXPECT_TRUE(r.read && r.stopped && r.master_nack);
    EXPECT_EQ(r.bytes, (std::vector<std::uint8_t>{0xFF, 0x38}));

    // A key pressed before the last one was read replaces it.
    b.press(0x0001);
    bcm2835_delay(100);
    b.press(0x0002);
    bcm2835_delay(100);
    EXPECT_EQ(stc_ir(), 0x0002);
    EXPECT_EQ(b.part().keys_decoded(), 3u);
    EXPECT_EQ(breaches(b.board), "") << "the controller keeps standard-mode timing";
    auto codes = b.values("board", "code");
    ASSERT_EQ(codes.size(), 6u);
    EXPECT_EQ(codes[1].as_int(), 0xFF38);
    EXPECT_EQ(codes[2].as_int(), 0);
}

TEST(IrBoard, OnReleaseTheCodeStaysWhileTheKeyIsHeldAndATapForOneFramePeriod) {
    BoardBench b(", clear: on_release");
    const Time t0 = b.board.now();
    b.press(0x0045, 450_ms);
    bcm2835_delay(100);
    int seen = 0;
    for (int i = 0; i < 6; ++i, bcm2835_delay(100)) seen += stc_ir() == 0x0045;
    EXPECT_EQ(seen, 4) << "polled at about 100, 200, 300 and 400 ms, not at 500 ms";
    const auto code = b.board.shown_history("board", "code");
    ASSERT_EQ(code.size(), 3u);
    EXPECT_EQ(code[1].at - t0, 67500_us);
    EXPECT_EQ(code[2].at - t0, 450_ms) << "cleared at the release, not by the reads";

    b.board.clear_records();
    const Time tap = b.board.now();
    b.press(0x0046);
    bcm2835_delay(500);
    const auto tapped = b.board.shown_history("board", "code");
    ASSERT_EQ(tapped.size(), 3u);
    EXPECT_EQ(tapped[1].at - tap, 67500_us);
    EXPECT_EQ(tapped[2].at - tapped[1].at, IrBoard::kRepeatTimeout);
}

// A key held as long as a person holds it: with clear: on_release its code
// stays until it is let go; one let go at once still shows a frame period.
TEST(IrBoard, AKeyHeldDownStaysUntilItIsLetGo) {
    BoardBench b(", clear: on_release");
    const Time t0 = *apply_action(b.board, "{device: board, action: down, code: 0x45}");
    bcm2835_delay(2000);
    EXPECT_EQ(stc_ir(), 0x45) << "still held after 2 s";
    const Time up = *apply_action(b.board, "{device: board, action: up}");
    bcm2835_delay(10);
    const auto code = b.board.shown_history("board", "code");
    ASSERT_EQ(code.size(), 3u);
    EXPECT_EQ(code[1].at - t0, 67500_us);
    EXPECT_EQ(code[2].at, up);

    b.board.clear_records();
    apply_action(b.board, "{device: board, action: down, code: 0x46}");
    bcm2835_delay(80);
    apply_action(b.board, "{device: board, action: up}");
    bcm2835_delay(200);
    const auto tapped = b.board.shown_history("board", "code");
    ASSERT_EQ(tapped.size(), 3u);
    EXPECT_EQ(tapped[2].at - tapped[1].at, IrBoard::kRepeatTimeout);
}

TEST(IrBoard, AbsentWithheldAcknowledgeAndGarbledByteReadAsTheReaderSeesThem) {
    {
        BoardBench b(", absent: true");
        b.press(0xFF38);
        bcm2835_delay(100);
        EXPECT_EQ(stc_ir(), 0) << "nothing received: the buffer's zeros";
        EXPECT_TRUE(b.part().transfers().empty());
    }
    {
        // Byte 2 of the run: the first register number.
        BoardBench b(", nack_byte: 2");
        b.press(0xFF38);
        bcm2835_delay(100);
        EXPECT_EQ(stc_ir(), 0);
        EXPECT_EQ(b.part().code(), 0xFF38) << "a read that never happened clears nothing";
        EXPECT_EQ(stc_ir(), 0xFF38);
        EXPECT_EQ(b.board.reports(ReportKind::Fault).size(), 1u);
    }
    {
        BoardBench b(", flip_bit: {byte: 0, bit: 7}");
        b.press(0xFF38);
        bcm2835_delay(100);
        EXPECT_EQ(stc_ir(), 0x7F38);
        EXPECT_EQ(b.part().code(), 0) << "the board sent its code: read, and cleared";
    }
}

TEST(IrBoard, WritesTheBoardDoesNotTakeAreRefusedAndReported) {
    BoardBench b;
    bcm2835_i2c_setSlaveAddress(IrBoard::kAddress);
    char two[] = {4, 0};
    char buf[2] = {0x55, 0x55};
    EXPECT_EQ(bcm2835_i2c_write_read_rs(two, 2, buf, 2), BCM2835_I2C_REASON_ERROR_NACK);
    // The file ends at byte 5, register 4's low byte: a read from there
    // gives it and then 0xFF. From 6 on there is nothing to point at.
    b.press(0x00A7);
    b.board.run_until(b.board.now() + 100_ms);
    char five[] = {5};
    EXPECT_EQ(bcm2835_i2c_write_read_rs(five, 1, buf, 2), BCM2835_I2C_REASON_OK);
    EXPECT_EQ(static_cast<std::uint8_t>(buf[0]), 0xA7);
    EXPECT_EQ(static_cast<std::uint8_t>(buf[1]), 0xFF);
    for (char past : {6, 7}) {
        char reg[] = {past};
        buf[0] = buf[1] = 0x55;
        EXPECT_EQ(bcm2835_i2c_write_read_rs(reg, 1, buf, 2), BCM2835_I2C_REASON_ERROR_NACK) << int(past);
        EXPECT_EQ(buf[0], 0x55) << "nothing read";
    }
    EXPECT_EQ(breaches(b.board),
              "[ir-board 'board'] the registers are read-only: byte 0x00 after the register number not acknowledged\n"
              "[ir-board 'board'] register 0x06 does not exist (registers 0, 2 and 4 do): not acknowledged\n"
              "[ir-board 'board'] register 0x07 does not exist (registers 0, 2 and 4 do): not acknowledged\n");

    // A read without a register number goes on from where the last one ended.
    b.board.apply([&] { b.part().set_register(2, 0xA1B2); });
    EXPECT_EQ(stc_mic(), 0);  // register 0; the pointer is now at 2
    char none[1];
    EXPECT_EQ(bcm2835_i2c_write_read_rs(none, 0, buf, 2), BCM2835_I2C_REASON_OK);
    EXPECT_EQ(static_cast<std::uint8_t>(buf[0]) << 8 | static_cast<std::uint8_t>(buf[1]), 0xA1B2);
}

TEST(IrBoard, BadSettingsAndActionsAreRefusedNamingTheKey) {
    auto refuse = [](const std::string& yaml, const std::string& message) { EXPECT_EQ(refusal(yaml, "b.yaml"), message); };
    refuse("devices:\n  - {type: ir-board, clear: never}\n", "b.yaml: devices[0].clear: expected on_read or on_release 'never'");
    const std::string board = "devices:\n  - {type: ir-board}\nstimuli:\n";
    refuse(board + "  - {at: 1s, device: ir-board, action: press}\n",
           "b.yaml: stimuli[0]: missing 'code' (a whole number, 0x0001 to 0xFFFF)");
    refuse(board + "  - {at: 1s, device: ir-board, action: set, register: 3, value: 1}\n",
           "b.yaml: stimuli[0].register: the board's registers are 0, 2 and 4 '3'");
    refuse(board + "  - {at: 1s, device: ir-board, action: press, code: 0xFF38, repeat: 2}\n",
           "b.yaml: stimuli[0].repeat: unknown setting (known: at, device, action, code, hold)");
}

}  // namespace

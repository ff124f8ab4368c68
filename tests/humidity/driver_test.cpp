// The AHT20 driver against the sensor model: checksums, frames and their
// conversion, busy polling, register set-up, and a bus with no sensor.
#include <cstdio>
#include <cstring>

#include "AHT20.h"
#include "I2C.h"
#include "bench.h"

using namespace humidity_test;

namespace {

std::string three_decimals(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(v));
    return buf;
}

std::vector<const Aht20::Transfer*> reads_of(const Aht20& s) {
    std::vector<const Aht20::Transfer*> out;
    for (const auto& t : s.transfers())
        if (t.read) out.push_back(&t);
    return out;
}

TEST(Aht20Crc, KnownVectorsAndAgreementWithTheSensorSide) {
    uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Calc_CRC8(check, 9), 0xF7);
    EXPECT_EQ(Calc_CRC8(check, 0), 0xFF);
    uint8_t ones[6];
    std::memset(ones, 0xFF, sizeof ones);
    EXPECT_EQ(Calc_CRC8(ones, 6), 0x22);
    uint8_t half[] = {0x1C, 0x80, 0x00, 0x06, 0x00, 0x00};
    EXPECT_EQ(Calc_CRC8(half, 6), 0x4E);
    uint8_t zero[] = {0x1C, 0, 0, 0, 0, 0};
    EXPECT_EQ(Calc_CRC8(zero, 6), 0x58);
    uint8_t full[] = {0x1C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Calc_CRC8(full, 6), 0x7A);

    // The sensor model computes its CRC on its own; both must agree on any data.
    uint32_t x = 12345;
    for (int n = 0; n < 200; ++n) {
        uint8_t data[6];
        for (auto& b : data) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        }
        ASSERT_EQ(Calc_CRC8(data, 6), Aht20::crc8(data, 6)) << "case " << n;
    }
}

struct FrameCase {
    double humidity, temperature;
    std::vector<uint8_t> frame;  // as read: status, 5 data bytes, CRC
    const char* shown_h;
    const char* shown_t;
};

TEST(Aht20Driver, FramesOnTheWireAndTheirValues) {
    const FrameCase cases[] = {
        {50.0, 25.0, {0x1C, 0x80, 0x00, 0x06, 0x00, 0x00, 0x4E}, "50.000", "25.000"},
        {0.0, -50.0, {0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x58}, "0.000", "-50.000"},
        {100.0, 150.0, {0x1C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7A}, "100.000", "150.000"},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.shown_h);
        Board board;
        Aht20::Settings s = ready_sensor();
        s.humidity = c.humidity;
        s.temperature = c.temperature;
        auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
        wiringPiSetup();
        float ct[2] = {-1, -1};
        Read_CTdata_From_AHT20_crc(ct);

        const auto reads = reads_of(sensor);
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads.back()->bytes, c.frame);
        EXPECT_TRUE(reads.back()->master_nack);
        EXPECT_EQ(three_decimals(ct[0]), c.shown_h);
        EXPECT_EQ(three_decimals(ct[1]), c.shown_t);
    }
    // The extremes, exactly as single precision gives them.
    Board board;
    Aht20::Settings s = ready_sensor();
    s.humidity = 100.0;
    s.temperature = 150.0;
    board.add(std::make_unique<Aht20>("sensor", s));
    float ct[2];
    Read_CTdata_From_AHT20_crc(ct);
    EXPECT_FLOAT_EQ(ct[0], 99.99991f);
    EXPECT_FLOAT_EQ(ct[1], 149.99982f);
}

TEST(Aht20Driver, DamagedFramesGiveZeroUnlessTheCrcIsSkipped) {
    auto measure = [](Aht20::Settings s, bool with_crc) {
        Board board;
        s.startup_time = 0;
        s.humidity = 50.0;
        s.temperature = 25.0;
        board.add(std::make_unique<Aht20>("sensor", s));
        float ct[2] = {-1, -1};
        (with_crc ? Read_CTdata_From_AHT20_crc : Read_CTdata_From_AHT20)(ct);
        return std::make_pair(ct[0], ct[1]);
    };
    Aht20::Settings bad_crc;
    bad_crc.corrupt_crc = true;
    EXPECT_EQ(measure(bad_crc, true), std::make_pair(0.0f, 0.0f));

    Aht20::Settings flipped;  // humidity bit 4 (byte 2, bit 0) damaged on the wire
    flipped.flip_byte = 2;
    flipped.flip_bit = 0;
    EXPECT_EQ(measure(flipped, true), std::make_pair(0.0f, 0.0f));
    // Without the check the damage goes through: raw 0x80010 instead of 0x80000.
    const auto unchecked = measure(flipped, false);
    EXPECT_FLOAT_EQ(unchecked.first, 0x80010 * 100.0f / 1024.0f / 1024.0f);
    EXPECT_FLOAT_EQ(unchecked.second, 25.0f);
    // The unchecked read stops after six bytes: the sixth gets the NACK.
    EXPECT_EQ(measure(Aht20::Settings{}, false), std::make_pair(50.0f, 25.0f));
    Board board;
    Aht20::Settings s = ready_sensor();
    s.temperature = 25.0 + 200.0 * 0xA5 / 1048576.0;  // a non-zero last byte
    auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
    float ct[2];
    Read_CTdata_From_AHT20(ct);
    const auto reads = reads_of(sensor);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back()->bytes.size(), 6u);
    EXPECT_TRUE(reads.back()->master_nack);
    EXPECT_EQ(reads.back()->bytes[5], 0xA5);
    EXPECT_FLOAT_EQ(ct[1], (0x60000 + 0xA5) * 200.0f / 1024.0f / 1024.0f - 50.0f);
}

TEST(Aht20Driver, BusyBitIsPolledEveryTwoMillisecondsUntilClear) {
    {
        // 95 ms: busy at the first polls after the 80 ms wait, then clear.
        Board board;
        Aht20::Settings s = ready_sensor();
        s.measurement_time = 95_ms;
        auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
        float ct[2];
        Read_CTdata_From_AHT20_crc(ct);
        const auto reads = reads_of(sensor);
        ASSERT_GE(reads.size(), 3u);
        for (std::size_t i = 0; i + 2 < reads.size(); ++i) EXPECT_EQ(reads[i]->bytes.at(0), 0x9C) << i;
        EXPECT_EQ(reads[reads.size() - 2]->bytes.at(0), 0x1C);  // last poll: done
        EXPECT_EQ(reads.back()->bytes.size(), 7u);              // then the frame
        for (std::size_t i = 1; i + 1 < reads.size(); ++i) {
            const Time gap = reads[i]->start - reads[i - 1]->start;
            EXPECT_GT(gap, 2_ms);
            EXPECT_LT(gap, 2_ms + 500_us);
        }
        EXPECT_EQ(three_decimals(ct[0]), "50.000");
    }
    {
        // Never ready: 101 status reads, then the frame is read and, its CRC
        // being right, used although the sensor never finished.
        Board board;
        Aht20::Settings s = ready_sensor();
        s.never_ready = true;
        auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
        float ct[2];
        Read_CTdata_From_AHT20_crc(ct);
        const auto reads = reads_of(sensor);
        ASSERT_EQ(reads.size(), 102u);
        EXPECT_EQ(reads.back()->bytes, (std::vector<uint8_t>{0x9C, 0, 0, 0, 0, 0, Aht20::crc8(reads.back()->bytes.data(), 6)}));
        EXPECT_GT(board.now(), 80_ms + 101 * 2_ms);
        EXPECT_EQ(ct[0], 0.0f);
        EXPECT_EQ(ct[1], -50.0f);
    }
}

TEST(Aht20Driver, RegisterSetUpCopiesEachRegisterBackAndCalibrates) {
    Board board;
    Aht20::Settings s = ready_sensor();
    s.calibration_bits = 0x00;
    auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
    EXPECT_EQ(Read_AHT20_Status() & 0x18, 0x00);
    const std::size_t before = sensor.transfers().size();
    Start_Init_AHT20();

    const auto& t = sensor.transfers();
    ASSERT_EQ(t.size() - before, 9u);
    const uint8_t regs[3] = {0x1B, 0x1C, 0x1E};
    for (int i = 0; i < 3; ++i) {
        const auto& select = t[before + 3 * i];
        const auto& read = t[before + 3 * i + 1];
        const auto& back = t[before + 3 * i + 2];
        SCOPED_TRACE(i);
        EXPECT_EQ(select.bytes, (std::vector<uint8_t>{regs[i], 0x00, 0x00}));
        ASSERT_TRUE(read.read);
        ASSERT_EQ(read.bytes.size(), 3u);
        EXPECT_EQ(back.bytes, (std::vector<uint8_t>{static_cast<uint8_t>(0xB0 | regs[i]), read.bytes[1], read.bytes[2]}));
        EXPECT_GE(read.start - select.start, 5_ms);
        EXPECT_GE(back.start - read.start, 10_ms);
    }
    EXPECT_EQ(sensor.counters().write_backs, 3u);
    EXPECT_EQ(Read_AHT20_Status() & 0x18, 0x18);
}

TEST(Aht20Driver, NoSensorGivesOneMessagePerAcknowledgeAndZeroValues) {
    for (bool model_absent : {false, true}) {
        SCOPED_TRACE(model_absent ? "absent model" : "empty bus");
        Board board;
        if (model_absent) {
            Aht20::Settings s = ready_sensor();
            s.absent = true;
            board.add(std::make_unique<Aht20>("sensor", s));
        }
        const std::string msg = "IIC slave device not ack!\n";
        testing::internal::CaptureStdout();
        const uint8_t status = Read_AHT20_Status();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), msg);
        EXPECT_EQ(status, 0xFF);  // passes the 0x18 test: no set-up is done

        testing::internal::CaptureStdout();
        float ct[2] = {-1, -1};
        Read_CTdata_From_AHT20_crc(ct);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(count_lines(out, msg), 4u + 101u + 1u);
        EXPECT_EQ(out.size(), (4u + 101u + 1u) * msg.size());
        EXPECT_EQ(ct[0], 0.0f);
        EXPECT_EQ(ct[1], 0.0f);
        EXPECT_TRUE(board.contentions().empty());
    }
}

TEST(Aht20Driver, OneWithheldAcknowledgeLosesOnlyThatCommand) {
    Board board;
    Aht20::Settings s = ready_sensor();
    s.nack_byte = 3;  // 0x71 of the status read, 0x70 and then 0xAC of the trigger
    auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
    (void)Read_AHT20_Status();
    testing::internal::CaptureStdout();
    float ct[2];
    Read_CTdata_From_AHT20_crc(ct);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "IIC slave device not ack!\n");
    EXPECT_EQ(sensor.counters().acks_withheld, 1u);
    EXPECT_EQ(sensor.counters().triggers, 0u);
    ASSERT_GE(sensor.transfers().size(), 2u);
    EXPECT_TRUE(sensor.transfers()[1].dropped);
    // No measurement ever ran: the frame holds zeros, with a valid CRC.
    EXPECT_EQ(ct[0], 0.0f);
    EXPECT_EQ(ct[1], -50.0f);
    EXPECT_EQ(board.reports(ReportKind::Fault).size(), 1u);
}

}  // namespace

// The AHT20 model as a strict bus partner: it must flag masters that break the
// I2C rules or the part's command set, stay silent about the demo's own
// traffic, and the contention that traffic causes must come exactly where the
// master keeps SDA driven HIGH into the sensor's acknowledge.
#include <algorithm>

#include "AHT20.h"
#include "I2C.h"
#include "fixture.h"
#include "humidity/bench.h"

using namespace humidity_test;

namespace {

// What humidity-demo does up to its first line, without the endless loop.
void demo_measurement(float ct[2]) {
    delay(500);
    if ((Read_AHT20_Status() & 0x18) != 0x18) {
        Start_Init_AHT20();
        delay(10);
    }
    Read_CTdata_From_AHT20_crc(ct);
}

// A sloppy bit: SDA set, then SCL high after `setup_us`, high for `high_us`,
// then low for `low_us`.
void raw_bit(int v, unsigned setup_us, unsigned high_us, unsigned low_us) {
    digitalWrite(SDA_PIN, v);
    delayMicroseconds(setup_us);
    digitalWrite(SCL_PIN, HIGH);
    delayMicroseconds(high_us);
    digitalWrite(SCL_PIN, LOW);
    delayMicroseconds(low_us);
}

void write_command(std::initializer_list<uint8_t> bytes) {
    Start_I2C();
    for (uint8_t b : bytes) {
        Master_WR_Byte(b);
        Slave_ACK();
    }
    Stop_I2C();
}

struct BadMaster {
    const char* what;
    void (*run)();
    const char* breach;  // part of the report text
    Time cost = 100_ns;  // pin-call cost (0 for a change in the same instant as the clock edge)
};

// Settings become the raw values the part would measure: the nearest step of
// the 20-bit scale, so that a raw value read back through the datasheet
// formula gives that raw value again.
TEST(Aht20Model, SettingsBecomeTheNearestRawStep) {
    for (std::uint32_t raw : {0u, 1u, 0x60000u, 0x80000u, 0x7B646u, 0xFFFFEu, 0xFFFFFu}) {
        EXPECT_EQ(Aht20::humidity_raw(raw * 100.0 / 1048576.0), raw) << raw;
        EXPECT_EQ(Aht20::temperature_raw(raw * 200.0 / 1048576.0 - 50.0), raw) << raw;
    }
    for (std::uint32_t raw = 1; raw < 0xFFFFF; raw += 4099) {
        EXPECT_EQ(Aht20::humidity_raw(raw * 100.0 / 1048576.0 - 0.4 * 100.0 / 1048576.0), raw) << raw;
        EXPECT_EQ(Aht20::temperature_raw(raw * 200.0 / 1048576.0 - 50.0 + 0.4 * 200.0 / 1048576.0), raw) << raw;
    }
    EXPECT_EQ(Aht20::humidity_raw(100.0), 0xFFFFFu);  // full scale is one step short of 2^20
    EXPECT_EQ(Aht20::temperature_raw(150.0), 0xFFFFFu);
    EXPECT_EQ(Aht20::temperature_raw(-50.0), 0u);
}

TEST(Aht20Model, ReportsMastersThatBreakTheRules) {
    const BadMaster cases[] = {
        {"clock low too short",
         [] {
             Start_I2C();
             digitalWrite(SCL_PIN, LOW);
             delayMicroseconds(2);
             for (int i = 0; i < 8; ++i) raw_bit((0x70 >> (7 - i)) & 1, 1, 2, 0);
             Slave_ACK();
             Stop_I2C();
         },
         "SCL low 1.2us"},
        {"data set at the clock edge",
         [] {
             Start_I2C();
             digitalWrite(SCL_PIN, LOW);
             delayMicroseconds(8);
             for (int i = 0; i < 8; ++i) raw_bit((0x70 >> (7 - i)) & 1, 0, 8, 8);
             digitalWrite(SCL_PIN, HIGH);  // acknowledge clock
             delayMicroseconds(8);
             Stop_I2C();
         },
         "data set-up 0ns", 0},
        {"byte cut short",
         [] {
             Start_I2C();
             pinMode(SDA_PIN, OUTPUT);
             digitalWrite(SCL_PIN, LOW);
             delayMicroseconds(8);
             for (int i = 0; i < 3; ++i) raw_bit(0, 8, 8, 8);
             Stop_I2C();
         },
         "byte cut short by STOP after 3 bit(s)"},
        {"unknown command",
         [] {
             write_command({0x70, 0x55});
         },
         "unknown command 0x55"},
        {"trigger with wrong arguments",
         [] {
             write_command({0x70, 0xAC, 0x33, 0x01});
         },
         "measurement trigger with arguments 0x33 0x01"},
        {"trigger cut short",
         [] {
             write_command({0x70, 0xAC, 0x33});
         },
         "command 0xAC with 2 byte(s), expected 3"},
        {"clocks after a not-acknowledge",
         [] {
             Start_I2C();
             Master_WR_Byte(0x71);
             Slave_ACK();
             (void)Master_RD_Byte();
             Master_NACK();
             (void)Master_RD_Byte();
             Stop_I2C();
         },
         "clock pulse after a not-acknowledge"},
        {"bus not free after STOP",
         [] {
             Start_I2C();
             Master_WR_Byte(0x70);
             Slave_ACK();
             digitalWrite(SCL_PIN, LOW);
             pinMode(SDA_PIN, OUTPUT);
             digitalWrite(SDA_PIN, LOW);
             delayMicroseconds(8);
             digitalWrite(SCL_PIN, HIGH);
             delayMicroseconds(8);
             digitalWrite(SDA_PIN, HIGH);  // STOP
             delayMicroseconds(1);
             digitalWrite(SDA_PIN, LOW);  // START 1 us after it
             delayMicroseconds(8);
             Stop_I2C();
         },
         "bus free time between STOP and START 1.1us"},
    };
    for (const BadMaster& c : cases) {
        SCOPED_TRACE(c.what);
        Board board(exact_options(c.cost));
        auto& sensor = board.add(std::make_unique<Aht20>("sensor", ready_sensor()));
        wiringPiSetup();
        testing::internal::CaptureStdout();
        c.run();
        testing::internal::GetCapturedStdout();
        const auto breaches = board.reports(ReportKind::Breach);
        ASSERT_EQ(breaches.size(), 1u);
        EXPECT_NE(breaches[0].text.find(c.breach), std::string::npos) << breaches[0].text;
        EXPECT_EQ(breaches[0].source, sensor.label());
        EXPECT_EQ(sensor.counters().breaches, 1u);
    }
}

TEST(Aht20Model, DoesNotAnswerBeforeItHasStarted) {
    Board board(exact_options(100_ns));
    Aht20::Settings s;  // 40 ms start-up
    auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Read_AHT20_Status(), 0xFF);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "IIC slave device not ack!\n");
    ASSERT_EQ(board.reports(ReportKind::Breach).size(), 1u);
    delay(40);
    EXPECT_EQ(Read_AHT20_Status(), 0x1C);
    EXPECT_EQ(sensor.counters().status_reads, 1u);
}

// A soft reset in the middle of a measurement ends it: the sensor is idle at
// once and the measurement never finishes.
TEST(Aht20Model, SoftResetAbandonsTheMeasurementUnderWay) {
    Board board(exact_options(100_ns));
    auto& sensor = board.add(std::make_unique<Aht20>("sensor", ready_sensor()));
    write_command({0x70, 0xAC, 0x33, 0x00});
    EXPECT_TRUE(sensor.busy());
    delay(20);
    write_command({0x70, 0xBA});
    EXPECT_FALSE(sensor.busy());
    delay(200);
    EXPECT_EQ(sensor.counters().triggers, 1u);
    EXPECT_EQ(sensor.counters().measurements, 0u);
    EXPECT_TRUE(board.reports(ReportKind::Breach).empty());
}

// The demo's whole conversation, calibrated or not, at realistic and at zero
// pin-call cost: no breach, and contention only where the design puts it.
TEST(Aht20Model, DemoTrafficIsCleanApartFromTheAcknowledgeOverlap) {
    for (Time cost : {Time{0}, 100_ns}) {
        for (uint8_t cal : {uint8_t{0x18}, uint8_t{0x00}}) {
            SCOPED_TRACE("cost " + format_duration(cost) + ", calibration bits " + std::to_string(cal));
            Board board(exact_options(cost));
            Aht20::Settings s;
            s.calibration_bits = cal;
            s.humidity = 50.0;
            s.temperature = 25.0;
            auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
            wiringPiSetup();
            float ct[2];
            demo_measurement(ct);
            EXPECT_EQ(ct[0], 50.0f);
            EXPECT_EQ(ct[1], 25.0f);
            // At zero cost the sensor's acknowledge clock is a pulse of no
            // width (SCL up, one read, SCL down in one instant), which no part
            // could see; that is all the model may find.
            for (const auto& b : board.reports(ReportKind::Breach)) {
                EXPECT_EQ(cost, 0) << "with a real pin-call cost there must be none: " << b.text;
                EXPECT_EQ(b.text.rfind("SCL high pulse (part's bit or acknowledge) 0ns", 0), 0u) << b.text;
            }
            EXPECT_EQ(sensor.counters().write_backs, cal == 0x18 ? 0u : 3u);

            // Every byte the master sends that ends in a 1 is still driven HIGH
            // when the sensor acknowledges on the falling clock edge, until
            // Slave_ACK releases SDA 8 us (plus one pin call) later.
            std::size_t odd_bytes = 0;
            for (const auto& t : sensor.transfers()) {
                odd_bytes += t.read ? 1 : 0;  // address 0x71
                if (!t.read)
                    for (uint8_t b : t.bytes) odd_bytes += b & 1;
            }
            const auto cont = board.contentions();
            EXPECT_EQ(cont.size(), odd_bytes);
            EXPECT_EQ(cont.size(), cal == 0x18 ? 4u : 13u);
            const auto falls = edges(board.history(kScl), Level::Low);
            for (const auto& c : cont) {
                EXPECT_EQ(c.pin, kSda);
                EXPECT_EQ(c.end - c.start, 8_us + cost);
                EXPECT_NE(std::find(falls.begin(), falls.end(), c.start), falls.end())
                    << "contention at " << format_time(c.start) << " is not on a falling SCL edge";
            }
        }
    }
}

TEST(Aht20Model, ContentionSitsAtTheAcknowledgeOfOddBytes) {
    Board board(exact_options());
    Aht20::Settings s;
    auto& sensor = board.add(std::make_unique<Aht20>("sensor", s));
    wiringPiSetup();
    float ct[2];
    demo_measurement(ct);

    // Transfers: status read, trigger, one busy poll, frame read.
    const auto& t = sensor.transfers();
    ASSERT_EQ(t.size(), 4u);
    const auto cont = board.contentions();
    ASSERT_EQ(cont.size(), 4u);
    // From the START's falling SDA edge: 8 us to the first clock, 192 us per
    // byte, 16 us per acknowledge that comes at the first poll.
    EXPECT_EQ(cont[0].start - t[0].start, 8_us + 192_us);               // 0x71
    EXPECT_EQ(cont[1].start - t[1].start, 8_us + 2 * 208_us + 192_us);  // 0x33, third byte
    EXPECT_EQ(cont[2].start - t[2].start, 8_us + 192_us);               // 0x71
    EXPECT_EQ(cont[3].start - t[3].start, 8_us + 192_us);               // 0x71
}

// Values out of their range are refused with the range as the reference
// gives it, units included; a `set` needs something to set.
TEST(Aht20Model, BadValuesAreRefusedWithTheirRange) {
    EXPECT_EQ(modeltest::refusal("devices:\n  - {type: aht20, humidity: 120}\n", "h.yaml"),
              "h.yaml: devices[0].humidity: out of range (0 to 100 %RH) '120'");
    EXPECT_EQ(modeltest::refusal("devices:\n  - {type: aht20, measurement_time: 5s}\n", "h.yaml"),
              "h.yaml: devices[0].measurement_time: out of range (1ms to 1s) '5s'");
    EXPECT_EQ(modeltest::refusal("devices:\n  - {type: aht20, calibration_bits: 0x1C}\n", "h.yaml"),
              "h.yaml: devices[0].calibration_bits: only bits of mask 0x18 may be given '0x1C'");
    const std::string sensor = "devices:\n  - {type: aht20, name: s}\nstimuli:\n";
    EXPECT_EQ(modeltest::refusal(sensor + "  - {at: 1s, device: s, action: set, temperature: -60}\n", "h.yaml"),
              "h.yaml: stimuli[0].temperature: out of range (-50 to 150 C) '-60'");
    EXPECT_EQ(modeltest::refusal(sensor + "  - {at: 1s, device: s, action: set}\n", "h.yaml"),
              "h.yaml: stimuli[0]: 'set' needs humidity or temperature");
}

}  // namespace

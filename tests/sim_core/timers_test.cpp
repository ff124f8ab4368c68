// The models' timing tools at exact virtual times: a re-armable timer, a
// player of level changes, and a meter of duty cycle and frequency.
#include <gtest/gtest.h>
#include <softPwm.h>
#include <softTone.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/timers.h"
#include "models/fixture.h"

namespace {

using namespace pikit::sim;
using modeltest::exact;

// A test part that exposes the tools on one pin.
class Tools final : public Device {
public:
    explicit Tools(int pin) : Device("test-tools", "tools"), pin_(pin) {}
    void attach(Board& b) override {
        b.attach(*this, pin_, PinRole::OpenDrain);
        timer.bind(b, [this] { expiries.push_back(board()->now()); });
        player.bind(b, *this, pin_);
        meter.bind(b, pin_, [this] { readings.push_back({board()->now(), meter.duty(), meter.frequency()}); });
    }
    void on_edge(int pin, Level level) override {
        if (pin == pin_) meter.edge(level);
    }
    struct Reading {
        Time at;
        double duty, frequency;
    };
    Timer timer;
    LinePlayer player;
    LineMeter meter;
    std::vector<Time> expiries;
    std::vector<Reading> readings;

private:
    int pin_;
};

TEST(Timing, TimerExpiresOnceAtItsLastArmingAndCancelsItself) {
    Board board(exact());
    auto& t = board.add(std::make_unique<Tools>(23));
    board.apply([&] {
        t.timer.at(5_ms);
        t.timer.at(3_ms);  // re-armed: only this one counts
    });
    EXPECT_EQ(t.timer.due(), 3_ms);
    delay(10);
    EXPECT_EQ(t.expiries, std::vector<Time>{3_ms});
    EXPECT_FALSE(t.timer.armed());
    board.apply([&] { t.timer.in(1_ms); });
    board.apply([&] { t.timer.cancel(); });
    delay(10);
    EXPECT_EQ(t.expiries.size(), 1u);
    board.apply([&] { t.timer.in(7_ms); });  // at 20 ms
    delay(7);
    EXPECT_EQ(t.expiries.back(), 27_ms);
}

TEST(Timing, PlayerPutsEachSegmentOnTheLineAtItsTime) {
    Board board(exact());
    board.set_external_pull(23, Pull::Up);
    auto& t = board.add(std::make_unique<Tools>(23));
    bool done = false;
    delay(1);
    board.apply([&] {
        t.player.play({{Drive::Low, 9_ms}, {Drive::Release, 4500_us}, {Drive::Low, 0}, {Drive::Low, 562500}}, Drive::Release,
                      [&] { done = true; });
    });
    EXPECT_TRUE(t.player.playing());
    delay(20);
    EXPECT_TRUE(done);
    const auto& h = board.history(23);
    std::vector<std::pair<Time, Level>> seen;
    for (std::size_t i = 1; i < h.size(); ++i) seen.emplace_back(h[i].at, h[i].level);  // after the power-on pull
    const std::vector<std::pair<Time, Level>> want{
        {0, Level::High}, {1_ms, Level::Low}, {10_ms, Level::High}, {14500_us, Level::Low}, {15062500, Level::High}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(LinePlayer::length({{Drive::Low, 9_ms}, {Drive::Release, 4500_us}}), 13500_us);
}

TEST(Timing, MeterReadsSoftPwmAndSoftToneByWholePeriods) {
    Board board(exact());
    auto& t = board.add(std::make_unique<Tools>(24));
    ASSERT_EQ(softPwmCreate(24, 30, 100), 0);
    delay(35);
    EXPECT_FALSE(t.meter.steady());
    EXPECT_DOUBLE_EQ(t.meter.duty(), 0.3);
    EXPECT_DOUBLE_EQ(t.meter.frequency(), 100.0);
    ASSERT_FALSE(t.readings.empty());
    EXPECT_EQ(t.readings.front().at, 10_ms) << "first reading at the end of the first whole period";
    softPwmWrite(24, 0);
    delay(100);
    EXPECT_TRUE(t.meter.steady());
    EXPECT_EQ(t.meter.duty(), 0.0);
    EXPECT_EQ(t.meter.frequency(), 0.0);
    softPwmStop(24);

    Board tone(exact());
    auto& u = tone.add(std::make_unique<Tools>(1));
    ASSERT_EQ(softToneCreate(1), 0);
    softToneWrite(1, 441);  // half period 500000 / 441 = 1133 us
    delay(20);
    EXPECT_EQ(u.meter.period(), 2266_us);
    EXPECT_NEAR(u.meter.frequency(), 441.306, 0.001);
    EXPECT_DOUBLE_EQ(u.meter.duty(), 0.5);
}

}  // namespace

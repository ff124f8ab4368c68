// Electrical resolution of the simulated lines: who drives, who pulls, what a
// read sees, and contention when two drivers disagree.
#include <gtest/gtest.h>
#include <wiringPi.h>

#include "core/board.h"

namespace {

using namespace pikit::sim;

class Driver final : public Device {
public:
    Driver(std::string name, int pin, PinRole role) : Device("driver", std::move(name)), pin_(pin), role_(role) {}
    void attach(Board& b) override { b.attach(*this, pin_, role_); }
    void set(Drive d) {
        board()->apply([&] { board()->drive(*this, pin_, d); });
    }
    std::vector<std::pair<Time, Level>> seen;
    void on_edge(int, Level l) override { seen.emplace_back(board()->now(), l); }

private:
    int pin_;
    PinRole role_;
};

Options exact() {
    Options o;
    o.pin_call_cost = 0;
    return o;
}

TEST(Lines, ReleasedLineFollowsPullsAndFloatsWithout) {
    Board board(exact());
    // Power-on pulls of the BCM2835: BCM 17 (wiringPi 0) is pulled down,
    // BCM 4 (wiringPi 7) up; the I2C pins have the board's own pull-ups.
    EXPECT_EQ(digitalRead(0), 0);
    EXPECT_EQ(digitalRead(7), 1);
    EXPECT_EQ(digitalRead(8), 1);
    EXPECT_EQ(digitalRead(9), 1);
    pullUpDnControl(0, PUD_UP);
    EXPECT_EQ(digitalRead(0), 1);
    pullUpDnControl(0, PUD_OFF);
    EXPECT_TRUE(board.floating(0));
    EXPECT_EQ(digitalRead(0), 0) << "a floating input reads LOW";
    board.set_external_pull(0, Pull::Up);
    EXPECT_EQ(digitalRead(0), 1);
    pullUpDnControl(0, PUD_DOWN);
    EXPECT_EQ(digitalRead(0), 1) << "an external resistor beats the weak internal pull";
}

TEST(Lines, OpenDrainDeviceAndMasterShareALine) {
    Board board(exact());
    board.set_external_pull(27, Pull::Up);
    auto& dev = board.add(std::make_unique<Driver>("d", 27, PinRole::OpenDrain));
    EXPECT_EQ(digitalRead(27), 1);
    dev.set(Drive::Low);
    EXPECT_EQ(digitalRead(27), 0);
    pinMode(27, OUTPUT);
    digitalWrite(27, LOW);
    dev.set(Drive::Release);
    EXPECT_EQ(digitalRead(27), 0) << "master still drives low";
    pinMode(27, INPUT);
    EXPECT_EQ(digitalRead(27), 1);
    EXPECT_TRUE(board.contentions().empty());
    // The device saw every change of the line, with its time.
    ASSERT_EQ(dev.seen.size(), 2u);
    EXPECT_EQ(dev.seen[0].second, Level::Low);
    EXPECT_EQ(dev.seen[1].second, Level::High);
}

TEST(Lines, MasterHighAgainstDevicePullingLowReadsLowAndIsContention) {
    Board board(exact());
    board.set_external_pull(27, Pull::Up);
    auto& dev = board.add(std::make_unique<Driver>("sensor", 27, PinRole::OpenDrain));
    pinMode(27, OUTPUT);
    digitalWrite(27, HIGH);
    delayMicroseconds(5);
    dev.set(Drive::Low);
    EXPECT_EQ(digitalRead(27), 0);
    delayMicroseconds(8);
    pinMode(27, INPUT);  // the master lets go: the fight is over
    auto c = board.contentions();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].pin, 27);
    EXPECT_EQ(c[0].start, 5_us);
    EXPECT_EQ(c[0].end, 13_us);
    EXPECT_NE(c[0].who.find("master drives HIGH"), std::string::npos);
    EXPECT_NE(c[0].who.find("driver 'sensor' pulls LOW"), std::string::npos);
    EXPECT_EQ(board.reports(ReportKind::Contention).size(), 1u);
}

TEST(Lines, PushPullDevicesCannotShareAPin) {
    Board board(exact());
    board.add(std::make_unique<Driver>("a", 6, PinRole::PushPull));
    EXPECT_THROW(board.add(std::make_unique<Driver>("b", 6, PinRole::PushPull)), std::invalid_argument);
    EXPECT_EQ(board.find("b"), nullptr) << "a refused device is not left half-wired";
    EXPECT_THROW(board.add(std::make_unique<Driver>("c", 17, PinRole::Input)), std::invalid_argument)
        << "wiringPi pin 17 is not on the 40-pin header";
}

TEST(Lines, PushPullDeviceAgainstOpenDrainPullReadsLowAndIsContention) {
    Board board(exact());
    auto& out = board.add(std::make_unique<Driver>("out", 6, PinRole::PushPull));
    auto& od = board.add(std::make_unique<Driver>("od", 6, PinRole::OpenDrain));
    out.set(Drive::High);
    EXPECT_EQ(digitalRead(6), 1);
    od.set(Drive::Low);
    EXPECT_EQ(digitalRead(6), 0);
    EXPECT_EQ(board.contentions().size(), 1u);
}

TEST(Lines, EachPinCallCostsVirtualTimeAndDelaysAreExact) {
    Options o;
    o.pin_call_cost = 80_ns;
    o.sleep_overrun = 60_us;
    Board board(o);
    pinMode(0, OUTPUT);
    for (int i = 0; i < 1000; ++i) digitalWrite(0, i & 1);
    EXPECT_EQ(board.now(), 1001 * 80_ns);
    Time t = board.now();
    delayMicroseconds(0);
    EXPECT_EQ(board.now(), t);
    delayMicroseconds(99);  // busy-waited on a Pi: no overrun
    EXPECT_EQ(board.now(), t + 99_us);
    delayMicroseconds(100);  // slept: overrun by scheduler latency
    EXPECT_EQ(board.now(), t + 99_us + 160_us);
    delay(2);
    EXPECT_EQ(board.now(), t + 259_us + 2_ms + 60_us);
}

TEST(Lines, CallsOutsideTheHeaderAreReportedAndIgnored) {
    Board board(exact());
    pinMode(17, OUTPUT);
    digitalWrite(17, HIGH);
    EXPECT_EQ(digitalRead(17), 0);
    pinMode(2, 42);  // not a mode of wiringPi
    auto errors = board.reports(ReportKind::Error);
    ASSERT_EQ(errors.size(), 2u) << "one report per bad pin, one for the mode";
    EXPECT_NE(errors[0].text.find("pin 17"), std::string::npos);
}

}  // namespace

namespace {

using namespace pikit::sim;

TEST(Events, RunInTimeOrderThenSchedulingOrderAndCancelledOnesNever) {
    Options o;
    o.pin_call_cost = 0;
    Board board(o);
    std::vector<int> order;
    Board::EventId late = 0, gone = 0;
    board.apply([&] {
        board.schedule(2_us, [&] { order.push_back(3); });
        board.schedule(1_us, [&] { order.push_back(1); });
        late = board.schedule(1_us, [&] { order.push_back(2); });
        gone = board.schedule(1_us, [&] { order.push_back(99); });
        board.cancel(gone);
        board.schedule(0, [&] { order.push_back(0); });  // "now": before the next call returns
    });
    EXPECT_EQ(order, std::vector<int>{0});
    delay(1);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    board.apply([&] { board.cancel(late); });  // long gone: nothing happens
    delay(1);
    EXPECT_EQ(order.size(), 4u);
}

}  // namespace

namespace {

using namespace pikit::sim;

// The header's pins and the BCM2835's power-on pulls at their edges: BCM 0-8
// up, 9-27 down; wiringPi 16 is the last pin before the gap, 21 the first after.
TEST(Lines, PowerOnPullsAndTheHeaderAtTheirEdges) {
    Options o;
    o.pin_call_cost = 0;
    Board board(o);
    struct Edge {
        int wpi, bcm, level;
    } edges[] = {{10, 8, 1}, {13, 9, 0}, {30, 0, 1}, {27, 16, 0}, {16, 15, 0}, {21, 5, 1}};
    for (const Edge& e : edges) {
        EXPECT_EQ(bcm_of(e.wpi), e.bcm);
        EXPECT_EQ(digitalRead(e.wpi), e.level) << "wiringPi " << e.wpi;
        EXPECT_FALSE(board.floating(e.wpi));
    }
    for (int pin : {16, 21}) {
        pinMode(pin, OUTPUT);
        digitalWrite(pin, !digitalRead(pin));
        EXPECT_NE(board.history(pin).size(), 1u) << "wiringPi " << pin << " is a pin of the header";
    }
    EXPECT_TRUE(board.reports(ReportKind::Error).empty());
    for (int pin : {17, 20}) pinMode(pin, OUTPUT);
    EXPECT_EQ(board.reports(ReportKind::Error).size(), 2u) << "17 and 20 are in the gap";
}

// Far in the future the clock holds at its end instead of wrapping round.
TEST(Clock, FarFutureHoldsInsteadOfWrapping) {
    Options o;
    o.pin_call_cost = kNever / 3;
    Board board(o);
    for (int i = 0; i < 4; ++i) digitalRead(0);
    EXPECT_EQ(board.now(), kNever);
}

}  // namespace

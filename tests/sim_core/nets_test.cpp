// Named nets: a device's own outputs, traced and kept like header pins, that
// other devices listen to, wired from a scenario in any order.
#include <gtest/gtest.h>
#include <wiringPi.h>

#include "core/board.h"
#include "core/model.h"
#include "core/scenario.h"
#include "devices/led.h"
#include "support/run_program.h"

namespace {

using namespace pikit::sim;

// A test part that copies its input pin to two outputs of its own: "out" as
// it is and "inv" inverted.
class Buffer final : public Device {
public:
    Buffer(std::string name, int in) : Device("test-buffer", std::move(name)), in_(in) {}
    void attach(Board& b) override {
        b.attach(*this, in_, PinRole::Input);
        out_ = b.net(name() + ".out");
        inv_ = b.net(name() + ".inv");
        b.attach(*this, out_, PinRole::PushPull);
        b.attach(*this, inv_, PinRole::PushPull);
        copy(b.level(in_));
    }
    void on_edge(int pin, Level level) override {
        if (pin == in_) copy(level);
    }
    int out() const { return out_; }

private:
    void copy(Level l) {
        board()->drive(*this, out_, is_high(l) ? Drive::High : Drive::Low);
        board()->drive(*this, inv_, is_high(l) ? Drive::Low : Drive::High);
    }
    int in_, out_ = -1, inv_ = -1;
};

struct In {
    int pin = 0;
};
const DeviceRegistrar registrar{
    ModelOf<Buffer, In>("test-buffer", "copies its input to two nets", Fields<In>().pin("in", &In::pin, "its input").required(),
                        [](const std::string& n, const In& in, const Config&) { return std::make_unique<Buffer>(n, in.pin); })};

TEST(Nets, ADevicesOutputsAreTracedAndKeptLikePins) {
    const std::string dir = pikit::test::temp_dir();
    Options o;
    o.pin_call_cost = 0;
    o.vcd_path = dir + "/nets.vcd";
    {
        Board board(o);
        // The LED names the buffer's net before the buffer exists.
        load_scenario_text(board,
                           "devices:\n"
                           "  - {type: led, name: lamp, pin: buf.inv}\n"
                           "  - {type: test-buffer, name: buf, in: 23}\n");
        const int out = board.find_net("buf.out");
        ASSERT_GE(out, 32);
        EXPECT_EQ(board.line_name(out), "buf.out");
        EXPECT_EQ(board.find_net("buf.nothing"), -1);
        pinMode(23, OUTPUT);
        delay(2);
        digitalWrite(23, HIGH);
        delay(3);
        digitalWrite(23, LOW);
        const auto& h = board.history(out);
        ASSERT_EQ(h.size(), 4u);
        EXPECT_TRUE(h[0].floating) << "a net floats until its driver acts";
        EXPECT_EQ(h[1].at, 0);
        EXPECT_EQ(h[1].level, Level::Low);
        EXPECT_EQ(h[2].at, 2_ms);
        EXPECT_EQ(h[2].level, Level::High);
        EXPECT_EQ(h[3].at, 5_ms);
        EXPECT_TRUE(board.shown("lamp", "on")->as_bool()) << "the LED on the inverted output is lit";
        // The program cannot reach a net.
        digitalWrite(out, HIGH);
        EXPECT_EQ(board.level(out), Level::Low);
    }
    const std::string vcd = pikit::test::read_file(dir + "/nets.vcd");
    EXPECT_NE(vcd.find("$scope module pi $end\n$var wire 1 8! wpi23_BCM13_P33 $end\n$upscope $end\n"), std::string::npos) << vcd;
    // The LED named buf.inv first, so it is the first net (line 32, id "A!").
    EXPECT_NE(vcd.find("$scope module buf $end\n$var wire 1 A! inv $end\n$var wire 1 B! out $end\n$upscope $end\n"),
              std::string::npos)
        << vcd;
    EXPECT_NE(vcd.find("#2000000\n18!\n1B!\n0A!\n#5000000\n"), std::string::npos) << vcd;
}

TEST(Nets, ADriverTwiceOrANetNobodyDrivesIsRefused) {
    Board board;
    try {
        load_scenario_text(board, "devices:\n  - {type: test-buffer, name: a, in: 23}\n  - {type: led, name: l, pin: a.outt}\n",
                           "nets.yaml");
        ADD_FAILURE() << "a net nobody drives was accepted";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "nets.yaml: devices: net 'a.outt' is listened to but no device drives it (a device's outputs are "
                  "named <device>.<output>)");
    }
    Board other;
    other.add(std::make_unique<Buffer>("b", 24));
    EXPECT_THROW(other.add(std::make_unique<Buffer>("b", 24)), std::invalid_argument) << "same name";
}

}  // namespace

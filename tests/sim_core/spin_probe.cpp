// A program for the simulator's process tests, built like the kit's programs
// against the simulated libraries. It has the two habits that make a program
// spin instead of wait:
//  1. it polls an infrared receiver's line without waiting, keeping an LED
//     off, until a remote's burst pulls the line low, and prints how many
//     polls that took (one more or one fewer if a poll's timing were off);
//  2. like a keypad-display program, its main loop then spins on a byte that
//     the key interrupt handler sets after clocking in an 8-bit key frame and
//     resting 30 ms; the main loop prints the key and sends three display
//     frames (33 clocked bits, a 30 ms rest) before it clears the byte.
// Its built-in scenario wires a stand-in for the receiver and the key line.
#include <stdio.h>
#include <wiringPi.h>

#include <atomic>

#include "core/board.h"
#include "core/model.h"

namespace {

using namespace pikit::sim;

// Stand-in module: an open-drain line that each "pulse" stimulus pulls low
// for 5 ms.
class PulseLine final : public Device {
public:
    PulseLine(const std::string& name, int pin) : Device("pulse-line", name), pin_(pin) {}
    void attach(Board& b) override { b.attach(*this, pin_, PinRole::OpenDrain); }
    void pulse() {
        board()->info(*this, "pulled low");
        board()->drive(*this, pin_, Drive::Low);
        board()->schedule(board()->now() + 5_ms, [this] { board()->drive(*this, pin_, Drive::Release); });
    }

private:
    int pin_;
};

struct Line {
    int pin = 0;
};
const DeviceRegistrar pulse_line{
    ModelOf<PulseLine, Line>(
        "pulse-line", "a line pulled low for 5 ms by each pulse", Fields<Line>().pin("pin", &Line::pin, "its line").required(),
        [](const std::string& name, const Line& l, const Config&) { return std::make_unique<PulseLine>(name, l.pin); })
        .action("pulse", "pull the line low for 5 ms", [](PulseLine& d) { d.pulse(); })};

}  // namespace

extern "C" const char pikit_sim_default_scenario[] = R"(
description: a remote's burst on the receiver line, then two keys
pulls: {6: up, 21: up}
devices:
  - {type: pulse-line, name: receiver, pin: 6}
  - {type: pulse-line, name: keys, pin: 21}
stimuli:
  - {at: 4567891ns, device: receiver, action: pulse}
  - {at: 100ms, device: keys, action: pulse}
  - {at: 250ms, device: keys, action: pulse}
)";
extern "C" const char pikit_sim_default_scenario_name[] = "spin-probe (built in)";

#define RECEIVER 6
#define LED 23
#define KEY_INT 21
#define DATA_IN 12
#define CLOCK 14

static std::atomic<unsigned char> key_ready{0};
static std::atomic<unsigned> key_code{0};

static void on_key(void) {
    unsigned code = 0;
    for (int bit = 0; bit < 8; ++bit) {
        digitalWrite(CLOCK, LOW);
        digitalWrite(DATA_IN, bit & 1);
        delayMicroseconds(50);
        digitalWrite(CLOCK, HIGH);
        delayMicroseconds(50);
        code = (code << 1) | (unsigned)digitalRead(RECEIVER);
    }
    delay(30);
    key_code = code;
    key_ready = 1;
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
    wiringPiSetup();
    pinMode(RECEIVER, INPUT);
    pinMode(LED, OUTPUT);
    pinMode(DATA_IN, OUTPUT);
    pinMode(CLOCK, OUTPUT);

    unsigned long polls = 0;
    while (digitalRead(RECEIVER) == HIGH) {
        digitalWrite(LED, LOW);
        ++polls;
    }
    printf("receiver low after %lu polls\n", polls);

    if (wiringPiISR(KEY_INT, INT_EDGE_FALLING, on_key) != 0) return 1;
    int keys = 0;
    for (;;) {
        if (key_ready.load() == 0) continue;
        printf("key %d: %02x\n", ++keys, key_code.load());
        for (int frame = 0; frame < 3; ++frame) {
            for (int bit = 0; bit < 33; ++bit) {
                digitalWrite(DATA_IN, (keys >> (bit % 4)) & 1);
                delayMicroseconds(50);
            }
            delay(30);
        }
        key_ready = 0;
    }
}

// The three pin numberings a program can choose reach the same line of the
// header, and a number that is no GPIO there is refused, not wrapped onto
// another pin.
#include <wiringPi.h>

#include "models/fixture.h"

namespace {

using namespace modeltest;

struct Numbering : ::testing::Test {
    Bench bench{"devices:\n  - {type: led, name: led, pin: 0}\n"};
    void TearDown() override { wiringPiSetup(); }
    std::vector<Shown> lit() const { return bench.values("led", "on"); }
};

TEST_F(Numbering, EachNumberingReachesTheSameLine) {
    // wiringPi 0 is BCM 17, header pin 11.
    struct Case {
        int (*setup)();
        int pin;
    } cases[] = {{wiringPiSetup, 0}, {wiringPiSetupGpio, 17}, {wiringPiSetupSys, 17}, {wiringPiSetupPhys, 11}};
    for (const Case& c : cases) {
        c.setup();
        pinMode(c.pin, OUTPUT);
        digitalWrite(c.pin, HIGH);
        delay(100);  // the LED reads a line that stays put at once
        EXPECT_TRUE(bench.board.shown("led", "on")->as_bool()) << c.pin;
        EXPECT_EQ(digitalRead(c.pin), HIGH);
        digitalWrite(c.pin, LOW);
        delay(100);
        EXPECT_FALSE(bench.board.shown("led", "on")->as_bool()) << c.pin;
    }
    // On and off once per numbering; the dark power-up lasts no time (the
    // first write comes at that instant) and is not shown.
    EXPECT_EQ(lit().size(), 8u);
    EXPECT_EQ(texts(bench.board.reports(ReportKind::Error)), "");
}

TEST_F(Numbering, PinsThatAreNoGpioOfTheHeaderAreRefusedOnce) {
    wiringPiSetupPhys();
    for (int i = 0; i < 3; ++i) digitalWrite(1, HIGH);  // 3.3 V
    pinMode(6, OUTPUT);                                 // ground
    wiringPiSetupGpio();
    digitalWrite(28, HIGH);  // a GPIO of the chip the header does not bring out
    EXPECT_EQ(digitalRead(40), LOW);
    const std::string errors = texts(bench.board.reports(ReportKind::Error));
    EXPECT_EQ(errors,
              "[library 'pi-gpio'] digitalWrite on header pin 1, which is no GPIO of the 40-pin header (a power "
              "or ground pin, or no pin at all); ignored\n"
              "[library 'pi-gpio'] pinMode on header pin 6, which is no GPIO of the 40-pin header (a power or "
              "ground pin, or no pin at all); ignored\n"
              "[library 'pi-gpio'] digitalWrite on BCM GPIO 28, which the 40-pin header does not bring out; ignored\n"
              "[library 'pi-gpio'] digitalRead on BCM GPIO 40, which the 40-pin header does not bring out; ignored\n");
    EXPECT_EQ(lit().size(), 1u);  // nothing reached the LED
}

TEST(PinTables, TranslateAsThePinTableShows) {
    EXPECT_EQ(wpiPinToGpio(0), 17);
    EXPECT_EQ(wpiPinToGpio(8), 2);
    EXPECT_EQ(wpiPinToGpio(30), 0);
    EXPECT_EQ(physPinToGpio(3), 2);
    EXPECT_EQ(physPinToGpio(40), 21);
    EXPECT_EQ(physPinToGpio(1), -1);
    EXPECT_EQ(physPinToGpio(41), -1);
}

}  // namespace

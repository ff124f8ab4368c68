#include "rgb_fade.h"

#include <softPwm.h>
#include <wiringPi.h>

const uint8_t R_led = 23;
const uint8_t G_led = 24;
const uint8_t B_led = 26;

uint8_t RGB_pin;

void fadeOn(uint32_t duration, int step)
{
    uint8_t level = 0;

    while (level != 255) {
        softPwmWrite(RGB_pin, level);
        /* 255 / step steps in all: (1000, 5) waits 1000 / 51 = 19 ms a step. */
        delay(duration / (255 / step));
        level = (uint8_t)(level + step);
    }
}

void fadeOff(uint32_t duration, int step)
{
    uint8_t level = 255;

    while (level != 0) {
        softPwmWrite(RGB_pin, level);
        delay(duration / (255 / step));
        level = (uint8_t)(level - step);
    }
}

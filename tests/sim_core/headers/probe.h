// What a source sees of the delay names and levels after including the
// library headers in some order.
#pragma once

struct HeaderProbe {
    const char* delay_ms_text;  // what "delay(1)" expands to there
    const char* delay_us_text;  // what "delayMicroseconds(1)" expands to there
    int high;
    int low;
    void (*delay_ms)(unsigned);
    void (*delay_us)(unsigned);
};

extern const HeaderProbe wiringpi_then_bcm2835;
extern const HeaderProbe without_delay_macros;

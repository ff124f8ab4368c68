// Type conversion demo: prints what six explicit conversions give, then idles
// until it is killed. It uses wiringPi only for its delay and never sets up the
// GPIO.
#include <stdio.h>

#include <wiringPi.h>

// Read on every pass of the endless loop: a volatile access is observable, so
// the loop is well-defined and kept as written (an empty loop without side
// effects could be assumed to end and be removed by the compiler).
static volatile int keep_idling = 1;

int main(void)
{
    // Line-buffered even when redirected: the program never exits on its own,
    // so block-buffered output would be lost when it is killed.
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);

    puts("Start ...");
    delay(1000);

    printf("(char)97.3 = %c \n", (char)97.3);
    printf("(char)97 = %c \n", (char)97);
    printf("(int)97.3 = %d \n", (int)97.3);
    printf("(int)'a' = %d \n", (int)'a');
    printf("float(97) = %f \n", (float)97);
    printf("float('a') = %f \n", (float)'a');

    while (keep_idling) {
    }
    return 0;
}

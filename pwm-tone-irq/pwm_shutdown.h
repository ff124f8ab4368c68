/*
 * Switching soft-PWM outputs off when the program is ended by Ctrl-C (SIGINT),
 * `kill` (SIGTERM) or the loss of its terminal (SIGHUP: the terminal window
 * closed, or the ssh session to the Pi dropped, which is how a headless Pi's
 * demo is most often left).
 *
 * A process that dies leaves its GPIO pins as they were at that instant: a
 * soft-PWM pin killed in the HIGH part of its period stays HIGH, lighting an
 * LED or running a fan at full power until something else touches the pin.
 * So the three signals are blocked in every thread (before the PWM threads are
 * started, which inherit the mask) and one thread waits for them. When one
 * comes, that thread stops each PWM output (its pin is driven LOW) and lets
 * the same signal end the process, so the shell still sees the usual status
 * (130, 143 or 129). A signal the program was started with ignored (a background
 * job's SIGINT) stays ignored.
 */
#ifndef PWM_SHUTDOWN_H
#define PWM_SHUTDOWN_H

#include <stdint.h>

/* Call once, before softPwmCreate, from the main thread. `pins` must stay
 * valid for the life of the program. Returns 0, or the error of starting
 * the waiting thread (the outputs are then left as they are on a signal). */
int pwmOffOnSignal(const uint8_t *pins, int count);

/* Stops each PWM output given to pwmOffOnSignal (its pin driven LOW), once:
 * the program's own end and a signal arriving meanwhile may both ask, and a
 * generator must not be stopped twice at the same time. */
void pwmOff(void);

#endif

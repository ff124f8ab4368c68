/* wiringPi soft PWM, simulated: same declarations as the real header. */
#ifndef PIKIT_SIM_SOFTPWM_H
#define PIKIT_SIM_SOFTPWM_H

#ifdef __cplusplus
extern "C" {
#endif

int softPwmCreate(int pin, int value, int range);
void softPwmWrite(int pin, int value);
void softPwmStop(int pin);

#ifdef __cplusplus
}
#endif

#endif

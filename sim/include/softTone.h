/* wiringPi soft tone, simulated: same declarations as the real header. */
#ifndef PIKIT_SIM_SOFTTONE_H
#define PIKIT_SIM_SOFTTONE_H

#ifdef __cplusplus
extern "C" {
#endif

int softToneCreate(int pin);
void softToneWrite(int pin, int freq);
void softToneStop(int pin);

#ifdef __cplusplus
}
#endif

#endif

/*
 * The melody of melody-demo: two parallel tables, the pitch of each note and
 * its length in beats, and the pin of the buzzer.
 */
#ifndef MELODY_H
#define MELODY_H

/* Number of notes in the tables. */
#define MELODY_NOTES 81

/* wiringPi pin of the buzzer, read each time a call needs it. */
extern int buzzer_pin;

/* Frequency of each note in Hz; -1 is a rest (soft tone treats a negative
 * frequency as silence). */
extern int tune[MELODY_NOTES];

/* Length of each note in beats of 500 ms. */
extern const float durt[MELODY_NOTES];

#endif

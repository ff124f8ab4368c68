#include "pwm_shutdown.h"

#include <pthread.h>
#include <signal.h>
#include <softPwm.h>

#include <atomic>

static const uint8_t *offPins;
static int offCount;
static sigset_t stopSignals;
static std::atomic_flag switchedOff = ATOMIC_FLAG_INIT;

void pwmOff(void)
{
    int i;

    if (switchedOff.test_and_set())
        return;
    for (i = 0; i < offCount; i++)
        softPwmStop(offPins[i]);
}

static void *waitForStop(void *arg)
{
    int sig = 0;

    (void)arg;
    if (sigwait(&stopSignals, &sig) != 0)
        return NULL;
    pwmOff();
    /* The disposition is still the default one, so the signal, unblocked
     * and sent again, ends the process as if nothing had caught it. */
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, NULL);
    raise(sig);
    return NULL;
}

int pwmOffOnSignal(const uint8_t *pins, int count)
{
    static const int wanted[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old;
    pthread_t waiter;
    unsigned i;
    int res;

    offPins = pins;
    offCount = count;
    switchedOff.clear();
    sigemptyset(&stopSignals);
    for (i = 0; i < sizeof wanted / sizeof wanted[0]; i++) {
        if (sigaction(wanted[i], NULL, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaddset(&stopSignals, wanted[i]);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, NULL);
    res = pthread_create(&waiter, NULL, waitForStop, NULL);
    if (res != 0) {
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, NULL);
        return res;
    }
    pthread_detach(waiter);
    return 0;
}

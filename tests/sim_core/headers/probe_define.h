// Defines the HeaderProbe PROBE_NAME with what the including source sees of
// the delay names and levels, after it has included the library headers.
// Included once per source, last.
#include "probe.h"

#define PROBE_TEXT(x) #x
#define PROBE_EXPANDED(x) PROBE_TEXT(x)

const HeaderProbe PROBE_NAME = {
    PROBE_EXPANDED(delay(1)),       PROBE_EXPANDED(delayMicroseconds(1)),       HIGH, LOW,
    [](unsigned ms) { delay(ms); }, [](unsigned us) { delayMicroseconds(us); },
};

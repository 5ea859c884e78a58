/* Test time-outs that a slower run (wine, sanitizers, valgrind) stretches:
   every deadline a test, a simulator test helper or a tools test waits on is
   multiplied by TESSARA_TEST_TIMEOUT_SCALE. Test support; C and C++. */
#ifndef TESSARA_TEST_TIMEOUT_H
#define TESSARA_TEST_TIMEOUT_H

#include <stdlib.h>

/* The scale: a whole number from 1 to 1000, 1 when unset or out of range. */
static inline long TesTestTimeoutScale(void) {
    const char *text = getenv("TESSARA_TEST_TIMEOUT_SCALE");
    const long value = text != NULL ? strtol(text, NULL, 10) : 1;
    return value >= 1 && value <= 1000 ? value : 1;
}

#ifdef __cplusplus
#include <cstdint>

namespace tes::test {

/* `ms` times the scale, read once per process. */
inline int64_t ScaledMs(int64_t ms) {
    static const int64_t scale = TesTestTimeoutScale();
    return ms * scale;
}

}  // namespace tes::test
#endif

#endif

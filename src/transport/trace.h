// Trace texts: short English lines that operations compose at defined points.
// They change no behaviour. Unless the build defines TESSARA_TRACE they are
// not even composed, so hot paths build no text; with it, each line goes to
// the sink installed with SetTraceSink (nowhere by default).
#pragma once

#ifdef TESSARA_TRACE
#include <sstream>
#include <string>
#endif

namespace tes {

using TraceSink = void (*)(const char* line);

#ifdef TESSARA_TRACE
void SetTraceSink(TraceSink sink);
void EmitTrace(const std::string& line);
#define TES_TRACE(expr)              \
    do {                             \
        std::ostringstream tesTrace; \
        tesTrace << expr;            \
        ::tes::EmitTrace(tesTrace.str()); \
    } while (0)
#else
inline void SetTraceSink(TraceSink) {}
#define TES_TRACE(expr) \
    do {                \
    } while (0)
#endif

}  // namespace tes

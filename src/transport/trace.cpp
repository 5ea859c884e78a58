// Trace sink of builds with TESSARA_TRACE.
#include "transport/trace.h"

#ifdef TESSARA_TRACE
#include <atomic>

namespace tes {
namespace {
std::atomic<TraceSink> gSink{nullptr};
}
void SetTraceSink(TraceSink sink) { gSink.store(sink); }
void EmitTrace(const std::string& line) {
    if (TraceSink sink = gSink.load()) sink(line.c_str());
}
}  // namespace tes
#endif

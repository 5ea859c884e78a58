// The local time zone rule of the Win32 platform layer, separated from the
// system calls so that it can be checked with made-up zones. Transport layer,
// Windows only.
#pragma once

#include <windows.h>

namespace tes::sys::win32 {

// Offset of local time from UTC in whole hours (truncated toward zero) for
// the zone `zone` at the local wall-clock moment `localNow`:
//   - minutes = -Bias;
//   - daylight saving starts at DaylightDate and ends at StandardDate, each
//     the wDay-th (1..5, 5 = last) weekday wDayOfWeek of month wMonth of
//     localNow's year, at the rule's time of day;
//   - both moments and localNow are compared within one year (month, day,
//     time of day); start <= now <= end subtracts DaylightBias. A rule that
//     ends earlier in the year than it starts (southern hemisphere) never
//     applies. DaylightDate.wMonth 0 means the zone has no daylight saving.
int TimeZoneHours(const TIME_ZONE_INFORMATION& zone, const SYSTEMTIME& localNow);

}  // namespace tes::sys::win32

// The two time sentinels shared by configuration, connections and
// positioning. Both are compared for exact equality, never by range.
#pragma once

// No time was given.
inline constexpr double TIME_UNSET = -9999999999.999;
// End time "last": stop after the newest packet present when reading began.
inline constexpr double TIME_LAST = -8888888888.888;

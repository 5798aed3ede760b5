// What a reader does with each packet it reaps: pass it on, stop, or reject
// it, judged from the connection's end time, age and lead limits and unstuff
// check. Kept apart from the loop so that it can be judged against any clock.
//
// The first rule that applies decides:
//  1. end time "last": pass every packet unfiltered; stop after the last
//     packet (the newest when reading began, or any after it, should that
//     one have been dropped at the source before it was read);
//  2. an end time at or before the packet time: pass the packet when its time
//     equals the end time exactly, and stop;
//  3. a too-old limit and an age of at least the limit: reject;
//  4. a too-new limit and a lead of at least the limit: reject;
//  5. the unstuff check and a packet that does not unstuff: reject, silently
//     when unstuff errors are suppressed;
//  6. otherwise pass the packet.
#pragma once

#include <functional>

struct ReaderLimits {
  double endtime;  // TIME_UNSET, TIME_LAST or an epoch time
  double tooOld;   // TIME_UNSET or seconds
  double tooNew;   // TIME_UNSET or seconds
  bool checkUnstuff;
  bool suppressUnstuffErrors;
};

enum class ReaderVerdict {
  kPass,             // push it
  kPassLastAndStop,  // push it: the last packet ("last" mode)
  kPassAndStop,      // push it: its time is the end time
  kPastEndAndStop,   // do not push it: past the end time
  kTooOld,           // reject: age at or over the too-old limit
  kTooNew,           // reject: lead at or over the too-new limit
  kNoUnstuff,        // reject: does not unstuff (complain)
  kNoUnstuffQuiet    // reject: does not unstuff (silently)
};

// `isLast`: the packet is the last one, or after it (end time "last" only).
// `unstuffs` is asked only when the unstuff check is reached.
ReaderVerdict judgePacket(const ReaderLimits &limits, bool isLast, double pkttime, double now,
                          const std::function<bool()> &unstuffs);

/*
 * The time library: epoch times (seconds since 1970-01-01 00:00:00 UTC, as
 * doubles) and their texts. Every time is UTC; no function looks at the
 * local time zone.
 *
 * Texts returned by the library are allocated with malloc; the caller frees
 * them. Every function is safe to call from any thread.
 */
#ifndef PLATFORM_TIME_EPOCHTIME_H
#define PLATFORM_TIME_EPOCHTIME_H

#ifdef __cplusplus
extern "C" {
#endif

/* The current wall-clock time, with microseconds or better. */
double std_now(void);

/* The time formatted as strftime would in UTC, where %Z gives "UTC"; one
 * addition, %s, gives the fractional seconds as three digits (milliseconds,
 * rounded, carrying into the seconds). A time that is not finite or lies
 * beyond the calendar's range gives the text "(invalid time)". NULL only
 * when memory runs out (or `format` is NULL). */
char *epoch2str(double epoch, const char *format);

/* The time as "2026-12-07 10:00:00.500 UTC" (day, time to milliseconds). */
char *strtime(double epoch);

/* A duration in seconds as text: "   0:00:01.250", "1:02:03:04.000" (days,
 * hours, minutes, seconds), right-aligned in 14 characters (longer
 * durations take the room they need), with a minus sign for negative
 * durations. A duration that is not finite gives "(invalid duration)". */
char *strtdelta(double seconds);

/* Removes leading and trailing blanks (spaces, tabs, newlines) in place;
 * returns its argument (NULL stays NULL). */
char *strtrim(char *text);

/* Non-zero when `text` is a time or a number of epoch seconds, and then
 * *epoch holds its value. Accepted, always UTC, with optional fractional
 * seconds on every time of day, and optional blanks around the whole text:
 *   1765101600.5                  epoch seconds (may be negative)
 *   2026-12-07 10:00:00.5         2026-12-07T10:00:00Z        2026-12-07
 *   2026-12-07 10:00:00.500 UTC   (as strtime writes it)
 *   12/07/2026 10:00:00           12/07/2026                  (month/day/year)
 *   2026-341 10:00:00             2026-341                    (year, day of year)
 * The time of day may also be hours and minutes alone ("10:00"). Years have
 * four digits, the day of the year three; months, days, hours, minutes and
 * seconds one or two. A time of day may end in "Z" or " UTC".
 * Everything else (empty text, "12abc", "2026-13-40 99:00:00", 31 April,
 * 29 February of a common year, trailing text, exponents) gives 0 and
 * leaves *epoch unchanged. */
int is_epoch_string(const char *text, double *epoch);

/* Non-zero when a file (of any type) of that path exists; a symbolic link
 * counts when what it points to exists. NULL or "" gives 0. */
int is_present(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_TIME_EPOCHTIME_H */

// Date and time arithmetic on the calendar times the platform and the server give
// (`DateTime`: a local time without a zone): days since 1970-01-01, seconds between two
// times, the weekday. Pure functions, proleptic Gregorian calendar, any year.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace qbnotify {

// Days from 1970-01-01 to the given day (negative before it).
std::int64_t DaysFromCivil(int year, int month, int day);

// Seconds from `from` to `to`, both read on the same clock.
long long SecondsBetween(const DateTime& from, const DateTime& to);

// The day `days` after 1970-01-01 (the inverse of DaysFromCivil): year, month, day.
void CivilFromDays(std::int64_t days, int& year, int& month, int& day);

// `when` moved by `seconds` (negative: back), read on the same clock.
DateTime AddSeconds(const DateTime& when, long long seconds);

// Monday 0 ... Sunday 6, as the server's weekday().
int Weekday(const DateTime& when);

}  // namespace qbnotify

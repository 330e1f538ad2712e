// The three POSIX time calls of the hosted platform, for its use in the Windows tools (the
// Windows build compiles platform/hosted/HostedPlatform.cpp with this header included first).
// msvcrt's gmtime and localtime keep their result per thread, so a copy of it is as safe as
// the POSIX _r forms.
#pragma once

#include <ctime>

inline std::tm* gmtime_r(const std::time_t* time, std::tm* out) {
  const std::tm* shared = std::gmtime(time);
  if (!shared) return nullptr;
  *out = *shared;
  return out;
}

inline std::tm* localtime_r(const std::time_t* time, std::tm* out) {
  const std::tm* shared = std::localtime(time);
  if (!shared) return nullptr;
  *out = *shared;
  return out;
}

// Seconds since 1970 of a UTC calendar time whose fields may lie outside their ranges (as
// mktime allows), by the proleptic Gregorian calendar.
inline std::time_t timegm(std::tm* tm) {
  long long year = tm->tm_year + 1900LL;
  long long month = tm->tm_mon;  // 0-11 once normalised
  year += month / 12;
  month %= 12;
  if (month < 0) {
    month += 12;
    --year;
  }
  // Days from 1970-01-01 to the first of the month (the "days from civil" method, with
  // March as the first month of the computing year).
  const long long y = month < 2 ? year - 1 : year;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yearOfEra = y - era * 400;
  const long long m = month < 2 ? month + 10 : month - 2;
  const long long dayOfYear = (153 * m + 2) / 5;
  const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const long long days = era * 146097 + dayOfEra - 719468 + (tm->tm_mday - 1);
  return static_cast<std::time_t>(days * 86400 + tm->tm_hour * 3600LL + tm->tm_min * 60LL + tm->tm_sec);
}

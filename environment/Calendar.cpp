#include "environment/Calendar.h"

namespace qbnotify {

std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - static_cast<int>(era * 400);
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

long long SecondsBetween(const DateTime& from, const DateTime& to) {
  const auto seconds = [](const DateTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  };
  return seconds(to) - seconds(from);
}

void CivilFromDays(std::int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int doe = static_cast<int>(days - era * 146097);
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400) + (month <= 2);
}

DateTime AddSeconds(const DateTime& when, long long seconds) {
  const long long total = DaysFromCivil(when.year, when.month, when.day) * 86400 + when.hour * 3600 +
                          when.minute * 60 + when.second + seconds;
  const long long days = total >= 0 ? total / 86400 : (total - 86399) / 86400;
  const int within = static_cast<int>(total - days * 86400);
  DateTime out;
  CivilFromDays(days, out.year, out.month, out.day);
  out.hour = within / 3600;
  out.minute = within / 60 % 60;
  out.second = within % 60;
  return out;
}

int Weekday(const DateTime& when) {
  const std::int64_t days = DaysFromCivil(when.year, when.month, when.day);
  return static_cast<int>(((days + 3) % 7 + 7) % 7);
}

}  // namespace qbnotify

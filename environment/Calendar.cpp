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

int Weekday(const DateTime& when) {
  const std::int64_t days = DaysFromCivil(when.year, when.month, when.day);
  return static_cast<int>(((days + 3) % 7 + 7) % 7);
}

}  // namespace qbnotify

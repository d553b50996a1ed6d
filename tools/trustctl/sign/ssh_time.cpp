#include "sign/ssh_time.h"

#include <ctime>

namespace tl::ctl::sign {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char c = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
    if (c != b[i]) return false;
  }
  return true;
}

// The number the digits at [at, at + n) spell, or -1 when one is no digit.
int Digits(std::string_view s, size_t at, size_t n) {
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil); the day may run past its month's end.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (m + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string Padded(int64_t v, size_t width) {
  std::string s = std::to_string(v);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

}  // namespace

std::optional<int64_t> ParseSshTime(std::string_view text) {
  bool utc = false;
  if (text.size() > 1 && SameIgnoringCase(text.substr(text.size() - 1), "Z")) {
    utc = true;
    text.remove_suffix(1);
  } else if (text.size() > 3 && SameIgnoringCase(text.substr(text.size() - 3), "UTC")) {
    utc = true;
    text.remove_suffix(3);
  }
  if (text.size() != 8 && text.size() != 12 && text.size() != 14) return std::nullopt;
  const int year = Digits(text, 0, 4);
  const int month = Digits(text, 4, 2);
  const int day = Digits(text, 6, 2);
  const int hour = text.size() > 8 ? Digits(text, 8, 2) : 0;
  const int minute = text.size() > 8 ? Digits(text, 10, 2) : 0;
  const int second = text.size() > 12 ? Digits(text, 12, 2) : 0;
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 61) {
    return std::nullopt;
  }
  int64_t t = 0;
  if (utc) {
    t = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  } else {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = 0;
    t = static_cast<int64_t>(std::mktime(&tm));
  }
  if (t <= 0) return std::nullopt;
  return t;
}

std::string FormatUtc(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  // civil_from_days (H. Hinnant).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return Padded(y, 4) + "-" + Padded(m, 2) + "-" + Padded(d, 2) + " " + Padded(rest / 3600, 2) +
         ":" + Padded(rest / 60 % 60, 2) + ":" + Padded(rest % 60, 2) + " UTC";
}

}  // namespace tl::ctl::sign

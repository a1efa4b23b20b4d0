#include "base/date_time.h"

#include <cmath>
#include <ctime>

#include "base/errors.h"
#include "base/printf.h"

namespace pv {

namespace {

// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  double days = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) +
                kUnixEpochDays;
  double frac = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / 86400000.0;
  return TDateTime{days + frac};
}

TDateTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                        local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

std::string FormatLogTimestamp(TDateTime t) {
  // Back from days to calendar fields (the inverse of DaysFromCivil).
  double whole = std::floor(t.value);
  int64_t z = static_cast<int64_t>(whole - kUnixEpochDays) + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
  auto ms = static_cast<int64_t>(std::llround((t.value - whole) * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  int64_t secs = ms / 1000;
  return Printf("%02u/%02u/%04lld %02lld:%02lld:%02lld", d, m, static_cast<long long>(y),
                static_cast<long long>(secs / 3600 % 24), static_cast<long long>(secs / 60 % 60),
                static_cast<long long>(secs % 60));
}

uint32_t MillisecondsOfDay(TDateTime t) {
  double frac = t.value - std::trunc(t.value);
  double ms = std::nearbyint(frac * 86400000.0);  // the default rounding mode: ties to even
  if (ms < 0.0 || ms > 4294967295.0) throw ERangeError();
  return static_cast<uint32_t>(ms);
}

uint32_t MillisecondsOfDay(std::chrono::steady_clock::duration span) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
  if (ms < 0) throw ERangeError();
  return static_cast<uint32_t>(ms % 86400000);
}

Ticks TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return Ticks{static_cast<uint32_t>(ms)};
}

}  // namespace pv

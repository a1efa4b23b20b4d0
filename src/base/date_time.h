// Time as the server uses it. TDateTime is local wall-clock time as days since 1899-12-30 (the
// fraction is the time of day), used where dates and times of day are reported. Durations are
// measured on a steady clock (SteadyTime) or in ticks (Ticks, milliseconds that wrap like a
// 32-bit counter); the three are distinct types and cannot be mixed up.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pv {

struct TDateTime {
  double value = 0.0;
};

// The current local date and time.
TDateTime Now();
// Builds a TDateTime from calendar fields (local time, no time-zone conversion).
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);
// "dd/mm/yyyy hh:nn:ss" of a local date and time.
std::string FormatLogTimestamp(TDateTime t);

// The fraction of t (t minus t truncated toward zero) times 86400000, rounded to the nearest
// integer with ties to even. Raises ERangeError when the result is outside 0..4294967295.
uint32_t MillisecondsOfDay(TDateTime t);
// The same for a span measured on the steady clock: whole days dropped. A negative span (which
// the steady clock never yields) raises ERangeError.
uint32_t MillisecondsOfDay(std::chrono::steady_clock::duration span);

using SteadyTime = std::chrono::steady_clock::time_point;
inline SteadyTime SteadyNow() { return std::chrono::steady_clock::now(); }

// Milliseconds since an arbitrary start, wrapping at 2^32 like the platform's tick count.
// Elapsed ticks are always computed as (now - then) in unsigned 32-bit arithmetic.
struct Ticks {
  uint32_t value = 0;
};
Ticks TickCount();
inline uint32_t TicksSince(Ticks then, Ticks now) { return now.value - then.value; }

}  // namespace pv

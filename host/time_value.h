// Host time: integer ticks, validity intervals and the animate-mode switch.
#pragma once

#include <algorithm>
#include <climits>

using TimeValue = int;

constexpr int kTicksPerSecond = 4800;
constexpr TimeValue TIME_NegInfinity = INT_MIN;
constexpr TimeValue TIME_PosInfinity = INT_MAX;

// Frame rate in frames per second (default 30); must divide kTicksPerSecond to be exact.
void SetFrameRate(int framesPerSecond);
int GetFrameRate();
int GetTicksPerFrame();

// Current scene time used by code that reads parameters "now" (default 0).
TimeValue GetCurrentTime();
void SetCurrentTime(TimeValue t);

// While animate mode is on, setting an animatable parameter sets a key at the given time.
bool IsAnimateOn();
void SetAnimateMode(bool on);

// Closed range of times [start, end]. Empty when start > end (NEVER).
class Interval {
  public:
    constexpr Interval() = default;  // empty
    constexpr Interval(TimeValue start, TimeValue end) : start_(start), end_(end) {}

    constexpr TimeValue Start() const { return start_; }
    constexpr TimeValue End() const { return end_; }
    constexpr bool Empty() const { return start_ > end_; }
    constexpr bool InInterval(TimeValue t) const { return !Empty() && t >= start_ && t <= end_; }
    constexpr void Set(TimeValue start, TimeValue end) {
        start_ = start;
        end_ = end;
    }
    constexpr void SetEmpty() { *this = Interval(); }
    constexpr void SetInfinite() { *this = Interval(TIME_NegInfinity, TIME_PosInfinity); }
    constexpr void SetInstant(TimeValue t) { *this = Interval(t, t); }
    // Narrows this interval to its overlap with other; an empty result stays empty.
    constexpr Interval& operator&=(const Interval& other) {
        if (Empty() || other.Empty()) {
            SetEmpty();
        } else {
            start_ = std::max(start_, other.start_);
            end_ = std::min(end_, other.end_);
        }
        return *this;
    }
    constexpr void Intersect(const Interval& other) { *this &= other; }
    constexpr bool operator==(const Interval& other) const {
        return (Empty() && other.Empty()) || (start_ == other.start_ && end_ == other.end_);
    }

  private:
    TimeValue start_ = 1;
    TimeValue end_ = 0;
};

inline constexpr Interval FOREVER(TIME_NegInfinity, TIME_PosInfinity);
inline constexpr Interval NEVER(1, 0);

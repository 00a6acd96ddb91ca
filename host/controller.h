// Key-frame controllers for animatable parameters: a constant until the first key is set,
// then keys interpolated linearly, smoothly (Catmull-Rom tangents on a cubic Hermite
// segment) or stepped (bool always steps).
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "point3.h"
#include "time_value.h"

enum class Interpolation { Linear, Smooth, Step };

template <class T>
class KeyController {
  public:
    struct Key {
        TimeValue time;
        T value;
    };

    explicit KeyController(T constant = T(), Interpolation interp = Interpolation::Smooth)
        : constant_(constant), interp_(std::is_same_v<T, bool> ? Interpolation::Step : interp) {}

    bool IsKeyed() const { return !keys_.empty(); }
    const std::vector<Key>& Keys() const { return keys_; }
    Interpolation GetInterpolation() const { return interp_; }
    void SetInterpolation(Interpolation interp) {
        if constexpr (!std::is_same_v<T, bool>) interp_ = interp;
    }

    // Value at t; valid is narrowed to the times over which the value stays the same:
    // FOREVER for a constant (or a single key), the flat run before the first or after the
    // last key, a key-to-key run for stepped keys, otherwise the instant t.
    T GetValue(TimeValue t, Interval& valid) const {
        if (keys_.size() <= 1) {
            return keys_.empty() ? constant_ : keys_.front().value;
        }
        if (t <= keys_.front().time) {
            valid &= Interval(TIME_NegInfinity, keys_.front().time);
            return keys_.front().value;
        }
        if (t >= keys_.back().time) {
            valid &= Interval(keys_.back().time, TIME_PosInfinity);
            return keys_.back().value;
        }
        size_t i = Segment(t);
        const Key& a = keys_[i];
        const Key& b = keys_[i + 1];
        if (interp_ == Interpolation::Step) {
            valid &= Interval(a.time, b.time - 1);
            return a.value;
        }
        if (t == a.time) {
            valid.Intersect(Interval(t, t));
            return a.value;
        }
        valid.Intersect(Interval(t, t));
        double u = double(t - a.time) / double(b.time - a.time);
        if (interp_ == Interpolation::Linear) {
            return Round(Lerp(a.value, b.value, u));
        }
        double h = double(b.time - a.time);
        double u2 = u * u;
        double u3 = u2 * u;
        double h00 = 2 * u3 - 3 * u2 + 1;
        double h10 = u3 - 2 * u2 + u;
        double h01 = -2 * u3 + 3 * u2;
        double h11 = u3 - u2;
        return Round(Add(Add(Scale(a.value, h00), Scale(Tangent(i), h10 * h)),
                         Add(Scale(b.value, h01), Scale(Tangent(i + 1), h11 * h))));
    }

    // Animate on: adds a key at t or replaces the one there. Off: with keys, every key moves
    // by the change of the value at t; without keys, the constant becomes value.
    void SetValue(TimeValue t, T value, bool animate) {
        if (animate) {
            auto it = std::lower_bound(keys_.begin(), keys_.end(), t,
                                       [](const Key& k, TimeValue time) { return k.time < time; });
            if (it != keys_.end() && it->time == t) {
                it->value = value;
            } else {
                keys_.insert(it, Key{t, value});
            }
            return;
        }
        if (keys_.empty()) {
            constant_ = value;
            return;
        }
        Interval ignored = FOREVER;
        Work delta = Sub(value, GetValue(t, ignored));
        for (Key& key : keys_) key.value = Round(Add(key.value, delta));
    }

    void DeleteKeys() {
        if (!keys_.empty()) constant_ = keys_.front().value;
        keys_.clear();
    }

  private:
    size_t Segment(TimeValue t) const {
        auto it = std::upper_bound(keys_.begin(), keys_.end(), t,
                                   [](TimeValue time, const Key& k) { return time < k.time; });
        return static_cast<size_t>(it - keys_.begin()) - 1;
    }

    // Catmull-Rom slope in value per tick; one-sided at the ends.
    auto Tangent(size_t i) const {
        size_t lo = i == 0 ? 0 : i - 1;
        size_t hi = std::min(i + 1, keys_.size() - 1);
        double dt = double(keys_[hi].time - keys_[lo].time);
        return Scale(Sub(keys_[hi].value, keys_[lo].value), 1.0 / dt);
    }

    // Arithmetic per value type. Int and bool work in double internally via Round.
    using Work = std::conditional_t<std::is_arithmetic_v<T>, double, T>;
    static Work Add(Work a, Work b) { return a + b; }
    static Work Sub(Work a, Work b) { return a - b; }
    static Work Scale(Work a, double s) {
        if constexpr (std::is_arithmetic_v<T>) {
            return a * s;
        } else {
            return a * static_cast<float>(s);
        }
    }
    static Work Lerp(Work a, Work b, double u) { return Add(a, Scale(Sub(b, a), u)); }
    static T Round(Work v) {
        if constexpr (std::is_same_v<T, bool>) {
            return v >= 0.5;
        } else if constexpr (std::is_integral_v<T>) {
            return static_cast<T>(std::lround(v));
        } else {
            return static_cast<T>(v);
        }
    }

    T constant_;
    Interpolation interp_;
    std::vector<Key> keys_;
};

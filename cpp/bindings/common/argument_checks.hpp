#pragma once
// Checks of what a binding hands to the core: array shapes against each
// other, indices against the sizes they address, and integer settings that
// feed the core's arithmetic. They run once per call, before anything is
// allocated or written, and refuse with a ValueError that names the argument.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "korvane/pair_engine.hpp"

namespace korvane::bind {

// ValueError("<argument> <what>").
[[noreturn]] inline void refuse(const char* argument, const std::string& what) {
  throw nanobind::value_error((std::string(argument) + " " + what).c_str());
}

inline void require_at_least(const char* argument, std::int64_t value, std::int64_t minimum) {
  if (value < minimum)
    refuse(argument, "must be at least " + std::to_string(minimum) + ", got " + std::to_string(value));
}

inline void require_length(const char* argument, std::size_t length, std::size_t expected,
                           const char* of_what) {
  if (length != expected)
    refuse(argument, "holds " + std::to_string(length) + " entries, expected one per " + of_what + " (" +
                         std::to_string(expected) + ")");
}

// A matrix's `columns`, one per `of_what` (or `expected` of them, unnamed).
inline void require_columns(const char* argument, std::size_t columns, std::size_t expected,
                            const char* of_what = nullptr) {
  if (columns != expected)
    refuse(argument, "has " + std::to_string(columns) + " columns, expected " +
                         (of_what ? std::string("one per ") + of_what + " (" + std::to_string(expected) + ")"
                                  : std::to_string(expected)));
}

// Every one of `count` indices lies in [0, size).
inline void require_indices(const char* argument, const std::int64_t* indices, std::size_t count,
                            std::int64_t size, const char* addressed) {
  for (std::size_t i = 0; i < count; ++i) {
    if (indices[i] < 0 || indices[i] >= size)
      refuse(argument, "holds " + std::to_string(indices[i]) + " at position " + std::to_string(i) +
                           ", outside the " + std::to_string(size) + " " + addressed);
  }
}

// The engine's intervals. The countdowns run down by one a bar from their
// reset value, so none may start below 0; a day holds at least one bar, and
// a z-score window at least one value.
inline void check_intervals(const engine::Intervals& iv) {
  require_at_least("intervals.new_spread_update", iv.new_spread_update, 0);
  require_at_least("intervals.johansen_resampling", iv.johansen_resampling, 1);
  require_at_least("intervals.triple_barrier_update", iv.triple_barrier_update, 0);
  require_at_least("intervals.min_zscore_window", iv.min_zscore_window, 1);
}

}  // namespace korvane::bind

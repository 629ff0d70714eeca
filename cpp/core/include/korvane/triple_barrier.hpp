#pragma once
// The triple barrier of one open spread position: take-profit and stop-loss
// levels of the spread around its entry value, and a time-stop budget that
// runs down while the position is held.
#include <cstdint>

namespace korvane::barrier {

struct Settings {
  double take_profit_std_multiplier = 0.0;
  double take_profit_sensitivity_at_entry = 0.0;
  double take_profit_sensitivity_at_adjustment = 0.0;
  double stop_loss_std_multiplier = 0.0;
  double stop_loss_sensitivity_at_entry = 0.0;
  double stop_loss_sensitivity_at_adjustment = 0.0;
  double time_stop_halflife_multiplier = 0.0;
  double time_stop_adjustment_sensitivity = 0.0;
};

struct State {
  double take_profit = 0.0;
  double stop_loss = 0.0;
  double time_stop = 0.0;
  double entry_value = 0.0;
  double entry_std = 0.0;
  std::int64_t adjustment_countdown = 0;  // carried over from one trade to the next
};

inline double sign_of(std::int64_t position) {
  return position > 0 ? 1.0 : (position < 0 ? -1.0 : 0.0);
}

// Places the barriers at entry; leaves the adjustment countdown alone.
void set(State& s, const Settings& p, std::int64_t position, double value, double std,
         std::int64_t halflife, double volatility_multiplier);

// True when this bar re-centres the barrier distances (the countdown has run
// out); the caller then computes a fresh volatility multiplier for `adjust`.
inline bool adjustment_due(const State& s) { return s.adjustment_countdown <= 0; }

// One bar of an open position: resizes the distances when due (with
// `volatility_multiplier`, ignored otherwise) and runs the time stop down.
void update(State& s, const Settings& p, std::int64_t position, double volatility_multiplier,
            std::int64_t adjustment_interval);

struct Crossing {
  bool crossed = false;
  std::int64_t label = 0;  // 1 profit, 0 loss
  double returns = 0.0;
};

// Tests the latest spread value. The return is relative to the absolute entry
// value (0.0 when the entry value is 0). All comparisons are inclusive.
inline Crossing test(const State& s, std::int64_t position, double value) {
  Crossing c;
  if (position == 0) return c;
  const double entry = s.entry_value;
  auto returns = [&]() {
    const double scale = entry < 0.0 ? -entry : entry;
    const double gain = position > 0 ? value - entry : entry - value;
    return scale == 0.0 ? 0.0 : gain / scale;
  };
  if (position > 0) {
    if (value >= s.take_profit) {
      c.crossed = true, c.label = 1;
    } else if (value <= s.stop_loss) {
      c.crossed = true, c.label = 0;
    } else if (s.time_stop <= 0.0) {
      c.crossed = true, c.label = returns() > 0.0 ? 1 : 0;
    }
  } else {
    if (value <= s.take_profit) {
      c.crossed = true, c.label = 1;
    } else if (value >= s.stop_loss) {
      c.crossed = true, c.label = 0;
    } else if (s.time_stop <= 0.0) {
      c.crossed = true, c.label = returns() > 0.0 ? 1 : 0;
    }
  }
  if (c.crossed) c.returns = returns();
  return c;
}

}  // namespace korvane::barrier

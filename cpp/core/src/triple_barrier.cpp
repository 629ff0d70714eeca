#include "korvane/triple_barrier.hpp"

namespace korvane::barrier {

void set(State& s, const Settings& p, std::int64_t position, double value, double std,
         std::int64_t halflife, double m) {
  const double sign = sign_of(position);
  s.take_profit = value + ((p.take_profit_std_multiplier * std) *
                           (p.take_profit_sensitivity_at_entry * m)) * sign;
  s.stop_loss = value - ((p.stop_loss_std_multiplier * std) *
                         (p.stop_loss_sensitivity_at_entry * m)) * sign;
  s.time_stop = p.time_stop_halflife_multiplier * static_cast<double>(halflife);
  s.entry_value = value;
  s.entry_std = std;
}

void update(State& s, const Settings& p, std::int64_t position, double m,
            std::int64_t adjustment_interval) {
  if (s.adjustment_countdown <= 0) {
    const double sign = sign_of(position);
    s.take_profit = s.entry_value + ((p.take_profit_std_multiplier * s.entry_std) *
                                     (p.take_profit_sensitivity_at_adjustment * m)) * sign;
    s.stop_loss = s.entry_value - ((p.stop_loss_std_multiplier * s.entry_std) *
                                   (p.stop_loss_sensitivity_at_adjustment * m)) * sign;
    s.adjustment_countdown = adjustment_interval;
  } else {
    s.adjustment_countdown -= 1;
  }
  s.time_stop = s.time_stop - p.time_stop_adjustment_sensitivity;
}

}  // namespace korvane::barrier

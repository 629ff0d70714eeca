#include "korvane/pair_engine.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "korvane/pairwise_sum.hpp"
#include "korvane/spread_stats.hpp"

namespace korvane::engine {

void PairStates::reset(std::size_t pairs) {
  h1.assign(pairs, 0.0);
  h2.assign(pairs, 0.0);
  is_cointegrated.assign(pairs, 0);
  halflife.assign(pairs, 0);
  position.assign(pairs, 0);
  reestimation_countdown.assign(pairs, 0);
  barrier.assign(pairs, barrier::State{});
  refused.assign(pairs, 0);
  has_record.assign(pairs, 0);
  record_entry_time.assign(pairs, 0);
  record_features_token.assign(pairs, -1);
}

bool Params::tradable() const {
  const double settings[] = {barrier.take_profit_std_multiplier,
                             barrier.take_profit_sensitivity_at_entry,
                             barrier.take_profit_sensitivity_at_adjustment,
                             barrier.stop_loss_std_multiplier,
                             barrier.stop_loss_sensitivity_at_entry,
                             barrier.stop_loss_sensitivity_at_adjustment,
                             barrier.time_stop_halflife_multiplier,
                             barrier.time_stop_adjustment_sensitivity};
  for (const double v : settings)
    if (std::isnan(v)) return false;
  return !(volatility_multiplier_available && std::isnan(rolling_volatility_halflife_multiplier));
}

PairEngine::PairEngine(std::vector<std::int64_t> first, std::vector<std::int64_t> second)
    : first_(std::move(first)), second_(std::move(second)) {
  if (second_.size() != first_.size()) second_.resize(first_.size(), 0);
  reset();
}

void PairEngine::reset() {
  state.reset(first_.size());
  closed.clear();
  daily_.assign(first_.size(), moments::PairMoments{});
  cross_.assign(first_.size(), moments::CrossMoments{});
  last_estimate_.assign(first_.size(), -1);
  secm_.clear();
  zsum_.assign(first_.size(), moments::LevelMoments{});
  vcache_.assign(first_.size(), VolatilityCache{});
}

namespace {

// Population deviation from the sums of n centred values; `inverse` is 1/n
// (a multiplication keeps the divider free for the square root).
double deviation(const CompensatedSum& s1, const CompensatedSum& s2, double inverse) {
  const double mean = s1.value() * inverse;
  double var = s2.value() * inverse - mean * mean;
  if (var < 0.0) var = 0.0;
  return std::sqrt(var);
}

// Rolling deviations of the windows of v values ending at bars [lo, hi] of a
// run; `value(bar)` is the spread at a bar inside the current window.
// A fresh start slides over the whole window once, with plain sums (the
// values are centred and the slide is short); a position's later resizings
// slide a few steps at a time for as long as it stays open, with
// compensated sums so that the error does not grow with its life.
template <bool kCompensated, typename F>
double advance_volatility(VolatilityCache& c, F&& value, std::int64_t lo, std::int64_t hi,
                          std::int64_t ring_size) {
  const double inverse = 1.0 / static_cast<double>(c.v);
  double* ring = c.ring.data();
  CompensatedSum s1 = c.s1, s2 = c.s2, total = c.total;
  std::int64_t slot = c.lo % ring_size;
  for (std::int64_t e = c.lo; e < lo; ++e) {
    total.add(-ring[slot]);
    if (++slot == ring_size) slot = 0;
  }
  slot = (c.hi + 1) % ring_size;
  const double centre = c.centre;
  const std::int64_t v = c.v;
  if (kCompensated) {
    for (std::int64_t e = c.hi + 1; e <= hi; ++e) {
      const double out = value(e - v) - centre, in = value(e) - centre;
      s1.add(in - out);
      s2.add((in - out) * (in + out));
      const double d = deviation(s1, s2, inverse);
      ring[slot] = d;
      total.add(d);
      if (++slot == ring_size) slot = 0;
    }
  } else {
    double p1 = s1.value(), p2 = s2.value(), pt = total.value();
    for (std::int64_t e = c.hi + 1; e <= hi; ++e) {
      const double out = value(e - v) - centre, in = value(e) - centre;
      p1 += in - out;
      p2 += (in - out) * (in + out);
      const double mean = p1 * inverse;
      double var = p2 * inverse - mean * mean;
      if (var < 0.0) var = 0.0;
      const double d = std::sqrt(var);
      ring[slot] = d;
      pt += d;
      if (++slot == ring_size) slot = 0;
    }
    s1 = CompensatedSum{p1, 0.0};
    s2 = CompensatedSum{p2, 0.0};
    total = CompensatedSum{pt, 0.0};
  }
  c.s1 = s1;
  c.s2 = s2;
  c.total = total;
  c.lo = lo;
  c.hi = hi;
  const double mean = total.value() / static_cast<double>(hi - lo + 1);
  if (mean > 0.0) return 1.0 + ring[hi % ring_size] / mean;
  return 1.0;
}

}  // namespace

void PairEngine::step(const double* const* logs, const double* last_close, std::int64_t window,
                      const std::int64_t* position_index, double* row, std::int64_t time,
                      std::int64_t bar, const Intervals& iv, const Params& p,
                      const johansen::CriticalValues& crit, EntryHook* hook) {
  const std::int64_t w = window;
  // Inside a whole run `bar` is the bar being decided and the window holds
  // bars [bar - w, bar); the caches are keyed by those bar indices.
  const bool in_run = bar >= w;
  const bool may_enter = p.tradable();
  spread_.resize(static_cast<std::size_t>(w));
  double* spread = spread_.data();
  PairStates& s = state;

  for (std::size_t k = 0; k < first_.size(); ++k) {
    const std::int64_t a = first_[k], b = second_[k];
    const double* la = logs[a];
    const double* lb = logs[b];

    // Re-estimation: only for a flat pair whose countdown has run out, from
    // the window's daily-sampled log closes. Otherwise the last estimates are
    // kept and only the spread moves with the window.
    bool spread_filled = false;
    // Inside a run (native estimators) the window's sums slide with it; the
    // series are then addressed by bar index over the whole run.
    const bool sliding = in_run && estimation == nullptr;
    const std::int64_t origin = sliding ? bar - w : 0;
    const double* series[2] = {la - origin, lb - origin};
    if (s.position[k] == 0 && s.reestimation_countdown[k] <= 0) {
      johansen::HedgeRatios hr;
      const std::int64_t per_day = iv.johansen_resampling;
      if (estimation != nullptr) {
        hr = estimation->hedge_ratios(la, lb, w, per_day);
      } else if (sliding && per_day >= 1 && (w - 1) / per_day >= johansen::kMinimumRows) {
        // On daily bars the test's rows are the window's bars after the
        // first, so the window's sums serve the test and the half-life.
        const std::int64_t rows = (w - 1) / per_day;
        bool finite;
        moments::Sums sums;
        if (per_day == 1) {
          moments::CrossMoments& cm = cross_[k];
          cm.move_to(series, bar - w, w);
          secm_[a].move_to(series[0], bar - w, w);
          secm_[b].move_to(series[1], bar - w, w);
          finite = cm.finite() && secm_[a].finite() && secm_[b].finite();
          if (finite) sums = moments::pair_sums(secm_[a], secm_[b], cm, series).without_first();
        } else if (last_estimate_[k] == bar - per_day) {
          // A pair re-estimated a day ago slides its daily rows by one.
          moments::PairMoments& dm = daily_[k];
          dm.move_to(series, bar - w + per_day, rows, per_day);
          finite = dm.finite();
          if (finite) sums = dm.sums(series);
        } else {
          // After a position (or at the start) the test runs on the rows
          // directly: a pair that trades often would otherwise pay for sums
          // it never slides.
          daily_[k].valid = false;
          finite = false;
        }
        last_estimate_[k] = bar;
        if (finite) {
          if (bounds_rows_ != rows || bounds_crit_.max_eigen_90 != crit.max_eigen_90 ||
              bounds_crit_.trace_90 != crit.trace_90) {
            bounds_ = johansen::verdict_bounds(rows, crit);
            bounds_rows_ = rows;
            bounds_crit_ = crit;
          }
          const johansen::Result r =
              johansen::from_moments(moments::johansen_moments(sums), rows, crit, &bounds_);
          if (r.ok) hr = {r.evec0[0], r.evec0[1], r.is_cointegrated};
        } else {
          hr = johansen::hedge_ratios_from_daily_closes(la, lb, w, per_day, crit);
        }
      } else {
        hr = johansen::hedge_ratios_from_daily_closes(la, lb, w, per_day, crit);
      }
      s.h1[k] = hr.h1;
      s.h2[k] = hr.h2;
      s.is_cointegrated[k] = hr.is_cointegrated ? 1 : 0;
      if (hr.is_cointegrated && sliding && w >= 2) {
        moments::CrossMoments& cm = cross_[k];
        cm.move_to(series, bar - w, w);
        secm_[a].move_to(series[0], bar - w, w);
        secm_[b].move_to(series[1], bar - w, w);
        const double slope = moments::halflife_slope(
            moments::pair_sums(secm_[a], secm_[b], cm, series), hr.h1, hr.h2);
        s.halflife[k] = std::isfinite(slope) ? spread::halflife_from_slope(slope) : 0;
      } else if (hr.is_cointegrated) {
        // The spread is written while the mean of its lagged values is summed.
        const double g1 = hr.h1, g2 = hr.h2;
        const double lagged_sum = pairwise_sum(
            [=](std::int64_t t) {
              const double x = g1 * la[t] + g2 * lb[t];
              spread[t] = x;
              return x;
            },
            0, w - 1);
        spread[w - 1] = g1 * la[w - 1] + g2 * lb[w - 1];
        spread_filled = true;
        if (estimation != nullptr) {
          s.halflife[k] = estimation->halflife(spread, w);
        } else {
          const double slope =
              w >= 2 ? spread::halflife_slope(spread, w, lagged_sum / static_cast<double>(w - 1))
                     : std::nan("");
          s.halflife[k] = std::isfinite(slope) ? spread::halflife_from_slope(slope) : 0;
        }
      } else {
        s.halflife[k] = 0;
      }
      s.reestimation_countdown[k] = iv.new_spread_update;
    } else {
      s.reestimation_countdown[k] -= 1;
    }
    const double h1 = s.h1[k], h2 = s.h2[k];
    const std::int64_t halflife = s.halflife[k];
    const bool cointegrated = s.is_cointegrated[k] != 0;
    auto spread_at = [la, lb, h1, h2](std::int64_t t) { return h1 * la[t] + h2 * lb[t]; };
    auto fill_spread = [&]() {
      if (!spread_filled) {
        for (std::int64_t t = 0; t < w; ++t) spread[t] = spread_at(t);
        spread_filled = true;
      }
    };

    // Z-score of the latest spread value. Only an entry reads it, so a pair
    // that holds a position skips it.
    const double value = spread_at(w - 1);
    double zscore = 0.0, zstd = 0.0;
    bool zscore_known = false;
    if (s.position[k] == 0) {
      zscore_known = true;
      if (halflife > 0) {
        const spread::ZscoreWindow zw = spread::zscore_window(
            p.zscore_halflife_multiplier, halflife, iv.min_zscore_window, iv.max_zscore_window);
        if (zw.fits && cointegrated) {
          const std::int64_t used = std::min(zw.length, w);
          const double count = static_cast<double>(used);
          if (sliding) {
            // Sums of both legs over the window: the spread's mean and
            // deviation follow for any hedge ratios.
            moments::LevelMoments& zm = zsum_[k];
            zm.move_to(series, bar - used, used);
            const moments::CombinationStats cs = moments::combination_stats(zm, h1, h2);
            const double shifted =
                h1 * (la[w - 1] - zm.base[0]) + h2 * (lb[w - 1] - zm.base[1]);
            zstd = cs.std;
            zscore = zstd > 0.0 ? (shifted - cs.shifted_mean) / zstd : 0.0;
          } else {
            const double centre = pairwise_sum(spread_at, w - used, used) / count;
            double d1 = 0.0, d2 = 0.0;
            for (std::int64_t t = w - used; t < w; ++t) {
              const double d = spread_at(t) - centre;
              d1 += d;
              d2 += d * d;
            }
            const double mean = centre + d1 / count;
            double var = d2 / count - (d1 / count) * (d1 / count);
            if (var < 0.0) var = 0.0;
            zstd = std::sqrt(var);
            zscore = zstd > 0.0 ? (value - mean) / zstd : 0.0;
          }
        }
      }
    }

    // At an entry the rolling deviations are computed afresh; at each later
    // resizing of the same position only the windows that moved are.
    auto volatility_multiplier = [&](bool at_entry) {
      if (!p.volatility_multiplier_available) return 0.0;
      VolatilityCache& vc = vcache_[k];
      const std::int64_t v = spread::volatility_window(w, halflife, p.rolling_volatility_halflife_multiplier);
      if (!in_run || v == 0) {
        vc.valid = false;
        fill_spread();
        return spread::volatility_multiplier(spread, w, halflife, p.rolling_volatility_halflife_multiplier);
      }
      const std::int64_t start = bar - w;
      auto at = [&](std::int64_t e) { return spread_at(e - start); };
      const std::int64_t lo = start + v - 1, hi = bar - 1;
      const bool finite = std::isfinite(vc.s1.value()) && std::isfinite(vc.s2.value()) &&
                          std::isfinite(vc.total.value());
      if (at_entry || !vc.valid || !finite || vc.v != v || hi - vc.hi > w - v || lo < vc.lo) {
        vc.valid = true;
        vc.v = v;
        vc.ring.resize(static_cast<std::size_t>(w));
        fill_spread();
        // Centred on the latest value: the spread reverts to its mean, so
        // the windows stay near it.
        vc.centre = spread[w - 1];
        vc.s1 = CompensatedSum{};
        vc.s2 = CompensatedSum{};
        vc.total = CompensatedSum{};
        double p1 = 0.0, p2 = 0.0;
        for (std::int64_t t = 0; t < v; ++t) {
          const double c = spread[t] - vc.centre;
          p1 += c;
          p2 += c * c;
        }
        vc.s1 = CompensatedSum{p1, 0.0};
        vc.s2 = CompensatedSum{p2, 0.0};
        const double first = deviation(vc.s1, vc.s2, 1.0 / static_cast<double>(v));
        vc.ring[static_cast<std::size_t>(lo % w)] = first;
        vc.total.add(first);
        vc.lo = lo;
        vc.hi = lo;
        return advance_volatility<false>(
            vc, [&](std::int64_t e) { return spread[e - start]; }, lo, hi, w);
      }
      return advance_volatility<true>(vc, at, lo, hi, w);
    };

    // Spread position: enter against a large |z|, leave only through the barrier.
    std::int64_t position = s.position[k];
    barrier::State& bs = s.barrier[k];
    if (may_enter && std::fabs(zscore) > p.starting_sd_for_position_entry && position == 0) {
      EntryDecision decision;
      if (hook != nullptr) decision = hook->on_entry(static_cast<std::int64_t>(k), bar, h1, h2);
      if (decision.refused) s.refused[k] = 1;
      position = zscore > 0.0 ? -1 : (zscore < 0.0 ? 1 : 0);
      s.position[k] = position;
      barrier::set(bs, p.barrier, position, value, zstd, halflife, volatility_multiplier(true));
      if (!s.refused[k]) {
        s.has_record[k] = 1;
        s.record_entry_time[k] = time;
        s.record_features_token[k] = decision.features_token;
      }
    } else if (position != 0) {
      const double m = barrier::adjustment_due(bs) ? volatility_multiplier(false) : 0.0;
      barrier::update(bs, p.barrier, position, m, iv.triple_barrier_update);
      const barrier::Crossing c = barrier::test(bs, position, value);
      if (c.crossed) {
        position = 0;
        s.position[k] = 0;
        if (s.refused[k]) {
          s.refused[k] = 0;
        } else {
          ClosedTrade t;
          t.pair = static_cast<std::int64_t>(k);
          t.entry_time = s.has_record[k] ? s.record_entry_time[k] : INT64_MIN;
          t.exit_time = time;
          t.label = c.label;
          t.returns = c.returns;
          t.features_token = s.has_record[k] ? s.record_features_token[k] : -1;
          closed.push_back(t);
        }
      }
    }
    const std::int64_t reported = s.refused[k] ? 0 : position;

    // Legs: each security's amount is scaled by the other's latest close, so
    // that the legs' market values stand in the ratio of the hedge ratios.
    if (reported != 0) {
      const double sp = static_cast<double>(reported);
      row[position_index[a]] += sp * h1 * last_close[b];
      row[position_index[b]] += sp * h2 * last_close[a];
    }

    if (trace != nullptr) {
      trace->is_cointegrated.push_back(s.is_cointegrated[k]);
      trace->countdown.push_back(s.reestimation_countdown[k]);
      trace->halflife.push_back(halflife);
      trace->position.push_back(s.position[k]);
      trace->reported.push_back(reported);
      trace->h1.push_back(h1);
      trace->h2.push_back(h2);
      trace->zscore.push_back(zscore_known ? zscore : std::nan(""));
      trace->value.push_back(value);
    }
  }
}

ClosedTradeColumns columns_of(const std::vector<ClosedTrade>& trades) {
  ClosedTradeColumns c;
  for (const auto& t : trades) {
    c.pair.push_back(t.pair);
    c.entry_time.push_back(t.entry_time);
    c.exit_time.push_back(t.exit_time);
    c.label.push_back(t.label);
    c.returns.push_back(t.returns);
    c.features_token.push_back(t.features_token);
  }
  return c;
}

void window_log_closes(const double* data, std::int64_t rows, std::int64_t row_stride,
                       std::int64_t column_stride, const std::int64_t* close_column,
                       std::int64_t securities, std::vector<double>& logs,
                       std::vector<const double*>& series, std::vector<double>& last_close) {
  logs.resize(static_cast<std::size_t>(securities * rows));
  series.resize(static_cast<std::size_t>(securities));
  last_close.resize(static_cast<std::size_t>(securities));
  for (std::int64_t sec = 0; sec < securities; ++sec) {
    double* out = logs.data() + sec * rows;
    const double* column = data + close_column[sec] * column_stride;
    for (std::int64_t t = 0; t < rows; ++t) out[t] = std::log(column[t * row_stride]);
    series[static_cast<std::size_t>(sec)] = out;
    last_close[static_cast<std::size_t>(sec)] = rows > 0 ? column[(rows - 1) * row_stride] : 0.0;
  }
}

void PairEngine::run(const double* data, std::int64_t rows, std::int64_t row_stride, std::int64_t column_stride,
                     const std::int64_t* close_column, std::int64_t securities,
                     const std::int64_t* position_index, std::int64_t window,
                     const std::int64_t* times, double* positions, const Intervals& iv,
                     const Params& p, const johansen::CriticalValues& crit, EntryHook* hook) {
  reset();
  if (window < 1 || rows <= window) return;
  // Log closes once per run, one contiguous series per security.
  window_log_closes(data, rows, row_stride, column_stride, close_column, securities, logs_,
                    log_ptr_, last_close_);
  secm_.assign(static_cast<std::size_t>(securities), moments::SeriesMoments{});
  for (std::int64_t i = window; i < rows; ++i) {
    const std::int64_t start = i - window;
    for (std::int64_t sec = 0; sec < securities; ++sec) {
      log_ptr_[sec] = logs_.data() + sec * rows + start;
      last_close_[sec] = data[(i - 1) * row_stride + close_column[sec] * column_stride];
    }
    step(log_ptr_.data(), last_close_.data(), window, position_index,
         positions + i * securities, times[i], i, iv, p, crit, hook);
  }
}

}  // namespace korvane::engine

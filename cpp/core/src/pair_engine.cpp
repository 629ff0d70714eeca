#include "korvane/pair_engine.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "korvane/pairwise_sum.hpp"
#include "korvane/spread_stats.hpp"

namespace korvane::engine {

// The parts of a pair's bar are named members for reading; the hot ones are
// inlined into the bar's loop, where they run once per pair and bar.
#define KORVANE_INLINE [[gnu::always_inline]] inline

namespace {
// Pairs per block of a whole run: their states and volatility rings (about
// 1.5 KB a pair at W = 120) stay within a core's 512 KB second-level cache.
constexpr std::size_t kBlockPairs = 256;
// Bars per stretch of a whole run: the per-security sums of a stretch are
// held at once, and each block of pairs runs through the stretch.
constexpr std::int64_t kStretchBars = 64;
}  // namespace

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
  for (std::size_t k = 0; k < first_.size(); ++k)
    largest_leg_ = std::max({largest_leg_, first_[k], second_[k]});
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

// The deviation of a variance that rounding may have left below 0 (a NaN
// stays NaN).
inline double deviation(double var) { return std::sqrt(var < 0.0 ? 0.0 : var); }

// Two deviations at once (max(0, x) keeps a NaN as the test x < 0 does): the
// divider takes about as long for two square roots as for one.
inline void deviations(Lanes2 variances, double& d0, double& d1) {
#if defined(__SSE2__)
  const __m128d d = _mm_sqrt_pd(_mm_max_pd(_mm_setzero_pd(), variances));
  d0 = _mm_cvtsd_f64(d);
  d1 = _mm_cvtsd_f64(_mm_unpackhi_pd(d, d));
#else
  d0 = deviation(variances[0]);
  d1 = deviation(variances[1]);
#endif
}

// Population variance from the sums of n centred values; `inverse` is 1/n
// (a multiplication keeps the divider free for the square root). Of one
// window, or of two side by side.
template <typename T>
inline T variance(T s1, T s2, T inverse) {
  const T mean = s1 * inverse;
  return s2 * inverse - mean * mean;
}

// A pair's spread h1 a + h2 b, the two log-close series addressed alike (by
// bar of a run, or by row of a window).
struct SpreadAt {
  const double* a;
  const double* b;
  double h1, h2;
  double operator()(std::int64_t e) const { return h1 * a[e] + h2 * b[e]; }
  // At bars e and e + 1.
  Lanes2 two(std::int64_t e) const {
    Lanes2 x, y;
    std::memcpy(&x, a + e, sizeof x);
    std::memcpy(&y, b + e, sizeof y);
    return Lanes2{h1, h1} * x + Lanes2{h2, h2} * y;
  }
};

// Moves the rolling deviations of an open position's spread to the windows
// ending at bars [lo, hi] of a run. Its resizings slide a few steps at a time
// for as long as it stays open, with compensated sums so that the error does
// not grow with its life.
double advance_volatility(VolatilityCache& c, const SpreadAt& value, std::int64_t lo,
                          std::int64_t hi, std::int64_t ring_size) {
  const double inverse = c.inverse;
  double* ring = c.ring.data();
  CompensatedSum s1 = c.s1, s2 = c.s2, total = c.total;
  // The deviations that leave and enter the average are added up first, and
  // their net change enters the compensated total once.
  double change = 0.0;
  // Ring slots move with the window ends (no integer division per bar).
  std::int64_t slot = c.lo_slot;
  for (std::int64_t e = c.lo; e < lo; ++e) {
    change -= ring[slot];
    if (++slot == ring_size) slot = 0;
  }
  c.lo_slot = slot;
  slot = c.hi_slot + 1 == ring_size ? 0 : c.hi_slot + 1;
  const double centre = c.centre;
  const std::int64_t v = c.v;
  auto keep = [&](double d) {
    ring[slot] = d;
    change += d;
    if (++slot == ring_size) slot = 0;
  };
  // Two windows at a time: the values leaving and entering both and their
  // changes to the sums go side by side in vectors, as do the variances; the
  // sums themselves still move one window after the other.
  const Lanes2 centres = {centre, centre}, inverses = {inverse, inverse};
  std::int64_t e = c.hi + 1;
  for (; e + 1 <= hi; e += 2) {
    const Lanes2 out = value.two(e - v) - centres, in = value.two(e) - centres;
    const Lanes2 step1 = in - out, step2 = step1 * (in + out);
    s1.add(step1[0]);
    s2.add(step2[0]);
    const double s1_first = s1.value(), s2_first = s2.value();
    s1.add(step1[1]);
    s2.add(step2[1]);
    double d0, d1;
    deviations(variance(Lanes2{s1_first, s1.value()}, Lanes2{s2_first, s2.value()}, inverses), d0,
               d1);
    keep(d0);
    keep(d1);
  }
  if (e <= hi) {
    const double out = value(e - v) - centre, in = value(e) - centre;
    s1.add(in - out);
    s2.add((in - out) * (in + out));
    keep(deviation(variance(s1.value(), s2.value(), inverse)));
  }
  total.add(change);
  c.s1 = s1;
  c.s2 = s2;
  c.total = total;
  c.lo = lo;
  c.hi = hi;
  c.hi_slot = slot == 0 ? ring_size - 1 : slot - 1;
  const double mean = total.value() / static_cast<double>(hi - lo + 1);
  if (mean > 0.0) return 1.0 + ring[c.hi_slot] / mean;
  return 1.0;
}

}  // namespace

// What one bar's step shares between its pairs.
struct PairEngine::Bar {
  // Security s's window starts at logs[s], and its close on the window's
  // last row is close_row[close_offset[s]].
  const double* const* logs;
  const double* close_row;
  const std::int64_t* close_offset;
  std::int64_t w;
  const std::int64_t* position_index;
  double* row;
  std::int64_t time;
  std::int64_t bar;
  const Intervals& iv;
  const Params& p;
  const johansen::CriticalValues& crit;
  EntryHook* hook;
  // Inside a whole run `bar` is the bar being decided and the window holds
  // bars [bar - w, bar); the caches are keyed by those bar indices.
  bool in_run;
  // Inside a run with the native estimators the window's sums slide with
  // it, and the series are addressed by bar index over the whole run.
  bool sliding;
  bool may_enter;
  std::int64_t test_rows;  // the Johansen test's daily rows in the window
  // Whether the hedge ratios of a pair the test rejects go unread until the
  // pair is tested again: its z-score is 0, so it cannot enter against a
  // non-negative threshold, and a flat pair's ratios feed nothing else but
  // a trace and the state left at the end of a run.
  bool rejected_ratios_unread;
  // Whether a flat pair without usable estimates can skip a bar where it
  // is not re-estimated: no trace records it and the threshold is not
  // negative (a negative one enters even at a z-score of 0).
  bool idle_when_unusable;
};

// One pair's two log-close windows and, once its estimates are known, its
// spread over the window, written to the scratch row only when needed.
struct PairEngine::PairWindow {
  const double* la;
  const double* lb;
  const double* series[2];  // addressed by bar index when sliding
  double* spread;
  bool spread_filled = false;
  double h1 = 0.0, h2 = 0.0;
  std::int64_t halflife = 0;

  double at(std::int64_t t) const { return h1 * la[t] + h2 * lb[t]; }
  void fill(std::int64_t w) {
    if (!spread_filled) {
      for (std::int64_t t = 0; t < w; ++t) spread[t] = at(t);
      spread_filled = true;
    }
  }
};

// A security's sums over the window that ends before `bar`, from the stretch
// held; worked out on the first request. `series` is addressed by bar index.
KORVANE_INLINE const moments::SeriesSums& PairEngine::series_sums(std::int64_t bar,
                                                                  std::int64_t security,
                                                                  const double* series,
                                                                  std::int64_t window) {
  const std::size_t at = static_cast<std::size_t>((bar - sums_from_) * sums_securities_ + security);
  moments::SeriesSums& out = series_sums_[at];
  if (!sums_known_[at]) {
    moments::SeriesMoments& m = secm_[static_cast<std::size_t>(security)];
    m.move_to(series, bar - window, window);
    out = m.sums();
    sums_known_[at] = 1;
  }
  return out;
}

KORVANE_INLINE const moments::SeriesTestStats& PairEngine::series_test_stats(
    std::int64_t bar, std::int64_t security, const double* series, std::int64_t window) {
  const std::size_t at = static_cast<std::size_t>((bar - sums_from_) * sums_securities_ + security);
  moments::SeriesTestStats& out = series_tests_[at];
  if (!tests_known_[at]) {
    out = moments::series_test_stats(series_sums(bar, security, series, window), series,
                                      bar - window, window);
    tests_known_[at] = 1;
  }
  return out;
}

void PairEngine::step(const double* const* logs, const double* last_close, std::int64_t window,
                      const std::int64_t* position_index, double* row, std::int64_t time,
                      std::int64_t bar, const Intervals& iv, const Params& p,
                      const johansen::CriticalValues& crit, EntryHook* hook) {
  // The closes given to a single step are one per security, in security
  // order: the legs' securities are their own offsets. Sized here, once the
  // legs are known to address the securities given.
  const std::size_t securities = static_cast<std::size_t>(largest_leg_) + 1;
  for (std::size_t sec = security_index_.size(); sec < securities; ++sec)
    security_index_.push_back(static_cast<std::int64_t>(sec));
  step_block(logs, last_close, security_index_.data(), window, position_index, row, time, bar, iv,
             p, crit, hook, 0, first_.size());
}

void PairEngine::step_block(const double* const* logs, const double* close_row,
                            const std::int64_t* close_offset,
                            std::int64_t window, const std::int64_t* position_index, double* row,
                            std::int64_t time, std::int64_t bar, const Intervals& iv,
                            const Params& p, const johansen::CriticalValues& crit,
                            EntryHook* hook, std::size_t k0, std::size_t k1) {
  const bool in_run = bar >= window;
  const Bar c{logs, close_row, close_offset, window, position_index, row, time, bar, iv, p, crit,
              hook, in_run, in_run && estimation == nullptr, p.tradable(),
              iv.johansen_resampling >= 1 ? (window - 1) / iv.johansen_resampling : 0,
              in_run && bar < last_lazy_bar_ && trace == nullptr &&
                  p.starting_sd_for_position_entry >= 0.0,
              trace == nullptr && !(p.starting_sd_for_position_entry < 0.0)};
  spread_.resize(static_cast<std::size_t>(window));
  // The verdict's bounds for the test's row count, for every test of the bar.
  if (bounds_rows_ != c.test_rows || bounds_crit_.max_eigen_90 != crit.max_eigen_90 ||
      bounds_crit_.trace_90 != crit.trace_90) {
    bounds_ = johansen::verdict_bounds(c.test_rows, crit);
    bounds_rows_ = c.test_rows;
    bounds_crit_ = crit;
  }
  for (std::size_t k = k0; k < k1; ++k) step_pair(c, k);
}

KORVANE_INLINE void PairEngine::step_pair(const Bar& c, std::size_t k) {
  PairStates& s = state;
  // A flat pair that is not re-estimated at this bar and has no usable
  // estimates (rejected, or no half-life) has a z-score of 0: against a
  // non-negative entry threshold nothing but its countdown moves.
  if (c.idle_when_unusable && s.position[k] == 0 && s.reestimation_countdown[k] > 0 &&
      (s.is_cointegrated[k] == 0 || s.halflife[k] <= 0)) {
    s.reestimation_countdown[k] -= 1;
    return;
  }
  const std::int64_t w = c.w;
  PairWindow pw;
  pw.la = c.logs[first_[k]];
  pw.lb = c.logs[second_[k]];
  const std::int64_t origin = c.sliding ? c.bar - w : 0;
  pw.series[0] = pw.la - origin;
  pw.series[1] = pw.lb - origin;
  pw.spread = spread_.data();

  // Re-estimation only for a flat pair whose countdown has run out;
  // otherwise the last estimates are kept and only the spread moves with
  // the window.
  if (s.position[k] == 0 && s.reestimation_countdown[k] <= 0) {
    reestimate(c, k, pw);
    s.reestimation_countdown[k] = c.iv.new_spread_update;
  } else {
    s.reestimation_countdown[k] -= 1;
  }
  pw.h1 = s.h1[k];
  pw.h2 = s.h2[k];
  pw.halflife = s.halflife[k];

  // Only an entry reads the z-score, so a pair that holds a position skips it.
  const double value = pw.at(w - 1);
  EntryZscore z;
  if (s.position[k] == 0) z = entry_zscore(c, k, pw, value);
  const std::int64_t reported = advance_position(c, k, pw, value, z);
  add_legs(c, k, reported, pw.h1, pw.h2);

  if (trace != nullptr) {
    trace->is_cointegrated.push_back(s.is_cointegrated[k]);
    trace->countdown.push_back(s.reestimation_countdown[k]);
    trace->halflife.push_back(pw.halflife);
    trace->position.push_back(s.position[k]);
    trace->reported.push_back(reported);
    trace->h1.push_back(pw.h1);
    trace->h2.push_back(pw.h2);
    trace->zscore.push_back(z.known ? z.zscore : std::nan(""));
    trace->value.push_back(value);
  }
}

KORVANE_INLINE johansen::HedgeRatios PairEngine::sliding_hedge_ratios(const Bar& c, std::size_t k,
                                                       const PairWindow& pw) {
  // On daily bars the test's rows are the window's bars after the first, so
  // the window's sums serve the test and the half-life.
  const std::int64_t w = c.w, bar = c.bar, rows = c.test_rows;
  const std::int64_t per_day = c.iv.johansen_resampling;
  const std::int64_t a = first_[k], b = second_[k];
  bool finite;
  johansen::Moments test_moments;
  if (per_day == 1) {
    moments::CrossMoments& cm = cross_[k];
    cm.move_to(pw.series, bar - w, w);
    const moments::SeriesTestStats& ta = series_test_stats(bar, a, pw.series[0], w);
    const moments::SeriesTestStats& tb = series_test_stats(bar, b, pw.series[1], w);
    finite = cm.finite() && ta.finite && tb.finite;
    if (finite) test_moments = moments::johansen_moments(ta, tb, cm, pw.series);
  } else if (last_estimate_[k] == bar - per_day) {
    // A pair re-estimated a day ago slides its daily rows by one.
    moments::PairMoments& dm = daily_[k];
    dm.move_to(pw.series, bar - w + per_day, rows, per_day);
    finite = dm.finite();
    if (finite) test_moments = moments::johansen_moments(dm.sums(pw.series));
  } else {
    // After a position (or at the start) the test runs on the rows
    // directly: a pair that trades often would otherwise pay for sums it
    // never slides.
    daily_[k].valid = false;
    finite = false;
  }
  last_estimate_[k] = bar;
  if (!finite) return johansen::hedge_ratios_from_daily_closes(pw.la, pw.lb, w, per_day, c.crit);
  const johansen::Result r =
      johansen::from_moments(test_moments, rows, c.crit, &bounds_, !c.rejected_ratios_unread);
  if (!r.ok) return {};
  return {r.evec0[0], r.evec0[1], r.is_cointegrated};
}

KORVANE_INLINE void PairEngine::reestimate(const Bar& c, std::size_t k, PairWindow& pw) {
  PairStates& s = state;
  const std::int64_t w = c.w;
  const std::int64_t per_day = c.iv.johansen_resampling;
  johansen::HedgeRatios hr;
  if (estimation != nullptr) {
    hr = estimation->hedge_ratios(pw.la, pw.lb, w, per_day);
  } else if (c.sliding && c.test_rows >= johansen::kMinimumRows) {
    hr = sliding_hedge_ratios(c, k, pw);
  } else {
    hr = johansen::hedge_ratios_from_daily_closes(pw.la, pw.lb, w, per_day, c.crit);
  }
  s.h1[k] = hr.h1;
  s.h2[k] = hr.h2;
  s.is_cointegrated[k] = hr.is_cointegrated ? 1 : 0;
  s.halflife[k] = hr.is_cointegrated ? estimate_halflife(c, k, pw, hr) : 0;
}

KORVANE_INLINE std::int64_t PairEngine::estimate_halflife(const Bar& c, std::size_t k, PairWindow& pw,
                                           const johansen::HedgeRatios& hr) {
  const std::int64_t w = c.w;
  double slope;
  if (c.sliding && w >= 2) {
    const std::int64_t a = first_[k], b = second_[k];
    moments::CrossMoments& cm = cross_[k];
    cm.move_to(pw.series, c.bar - w, w);
    slope = moments::halflife_slope(
        moments::pair_sums(series_sums(c.bar, a, pw.series[0], w),
                           series_sums(c.bar, b, pw.series[1], w), cm, pw.series),
        hr.h1, hr.h2);
  } else {
    // The spread is written while the mean of its lagged values is summed.
    const double g1 = hr.h1, g2 = hr.h2;
    const double* la = pw.la;
    const double* lb = pw.lb;
    double* spread = pw.spread;
    const double lagged_sum = pairwise_sum(
        [=](std::int64_t t) {
          const double x = g1 * la[t] + g2 * lb[t];
          spread[t] = x;
          return x;
        },
        0, w - 1);
    spread[w - 1] = g1 * la[w - 1] + g2 * lb[w - 1];
    pw.spread_filled = true;
    if (estimation != nullptr) return estimation->halflife(spread, w);
    slope = w >= 2 ? spread::halflife_slope(spread, w, lagged_sum / static_cast<double>(w - 1))
                   : std::nan("");
  }
  return std::isfinite(slope) ? spread::halflife_from_slope(slope) : 0;
}

KORVANE_INLINE PairEngine::EntryZscore PairEngine::entry_zscore(const Bar& c, std::size_t k, const PairWindow& pw,
                                                 double value) {
  EntryZscore z;
  z.known = true;
  if (pw.halflife <= 0 || state.is_cointegrated[k] == 0) return z;
  const spread::ZscoreWindow zw = spread::zscore_window(
      c.p.zscore_halflife_multiplier, pw.halflife, c.iv.min_zscore_window, c.iv.max_zscore_window);
  if (!zw.fits) return z;
  const std::int64_t w = c.w;
  const std::int64_t used = std::min(zw.length, w);
  if (c.sliding) {
    // Sums of both legs over the window: the spread's mean and deviation
    // follow for any hedge ratios.
    moments::LevelMoments& zm = zsum_[k];
    zm.move_to(pw.series, c.bar - used, used);
    const moments::CombinationStats cs = moments::combination_stats(zm, pw.h1, pw.h2);
    const double shifted = pw.h1 * (pw.la[w - 1] - zm.base[0]) + pw.h2 * (pw.lb[w - 1] - zm.base[1]);
    z.std = cs.std;
    z.zscore = z.std > 0.0 ? (shifted - cs.shifted_mean) / z.std : 0.0;
    return z;
  }
  const double count = static_cast<double>(used);
  const double centre = pairwise_sum([&pw](std::int64_t t) { return pw.at(t); }, w - used, used) / count;
  double d1 = 0.0, d2 = 0.0;
  for (std::int64_t t = w - used; t < w; ++t) {
    const double d = pw.at(t) - centre;
    d1 += d;
    d2 += d * d;
  }
  const double mean = centre + d1 / count;
  double var = d2 / count - (d1 / count) * (d1 / count);
  if (var < 0.0) var = 0.0;
  z.std = std::sqrt(var);
  z.zscore = z.std > 0.0 ? (value - mean) / z.std : 0.0;
  return z;
}

// At an entry the rolling deviations are computed afresh; at each later
// resizing of the same position only the windows that moved are.
double PairEngine::volatility_multiplier(const Bar& c, std::size_t k, PairWindow& pw, bool at_entry) {
  if (!c.p.volatility_multiplier_available) return 0.0;
  const std::int64_t w = c.w;
  VolatilityCache& vc = vcache_[k];
  const double multiplier = c.p.rolling_volatility_halflife_multiplier;
  const std::int64_t v = vc.valid && vc.halflife == pw.halflife && vc.window == w &&
                                 vc.multiplier == multiplier
                             ? vc.v
                             : spread::volatility_window(w, pw.halflife, multiplier);
  if (!c.in_run || v == 0) {
    vc.valid = false;
    pw.fill(w);
    return spread::volatility_multiplier(pw.spread, w, pw.halflife, multiplier);
  }
  const std::int64_t start = c.bar - w;
  const std::int64_t lo = start + v - 1, hi = c.bar - 1;
  const bool finite = std::isfinite(vc.s1.value()) && std::isfinite(vc.s2.value()) &&
                      std::isfinite(vc.total.value());
  if (!at_entry && vc.valid && finite && vc.v == v && hi - vc.hi <= w - v && lo >= vc.lo)
    return advance_volatility(vc, SpreadAt{pw.la - start, pw.lb - start, pw.h1, pw.h2}, lo, hi,
                              w);
  vc.valid = true;
  vc.v = v;
  vc.inverse = 1.0 / static_cast<double>(v);
  vc.window = w;
  vc.halflife = pw.halflife;
  vc.multiplier = multiplier;
  vc.ring.resize(static_cast<std::size_t>(w));
  return start_volatility(vc, pw, w, lo, hi);
}

// The rolling deviations of every window of v values within the window's
// spread, computed afresh; the windows end at bars [lo, hi] of the run.
// The sums slide with plain additions (the values are centred and the
// slide is short).
double PairEngine::start_volatility(VolatilityCache& vc, const PairWindow& pw, std::int64_t w,
                                    std::int64_t lo, std::int64_t hi) {
  const std::int64_t v = vc.v, windows = hi - lo + 1;
  // Centred on the latest value: the spread reverts to its mean, so the
  // windows stay near it.
  const SpreadAt spread{pw.la, pw.lb, pw.h1, pw.h2};  // by row of the window
  const double centre = spread(w - 1);
  vc.centre = centre;
  centred_.resize(static_cast<std::size_t>(w));
  deviations_.resize(static_cast<std::size_t>(windows));
  double* x = centred_.data();
  double* dev = deviations_.data();
  // Two bars at a time.
  const Lanes2 centres = {centre, centre};
  std::int64_t t = 0;
  for (; t + 2 <= w; t += 2) {
    const Lanes2 centred = spread.two(t) - centres;
    std::memcpy(x + t, &centred, sizeof centred);
  }
  for (; t < w; ++t) x[t] = spread(t) - centre;
  double p1 = 0.0, p2 = 0.0;
  for (std::int64_t t = 0; t < v; ++t) {
    p1 += x[t];
    p2 += x[t] * x[t];
  }
  const double inverse = vc.inverse;
  // Window i holds x[i .. i + v).
  dev[0] = deviation(variance(p1, p2, inverse));
  double total = dev[0];
  // Two windows at a time: the values leaving and entering both, their
  // changes to the sums and the variances go side by side in vectors; the
  // sums themselves still move one window after the other.
  const Lanes2 inverses = {inverse, inverse};
  std::int64_t i = 1;
  for (; i + 1 < windows; i += 2) {
    Lanes2 out, in;
    std::memcpy(&out, x + i - 1, sizeof out);
    std::memcpy(&in, x + i + v - 1, sizeof in);
    const Lanes2 step1 = in - out, step2 = step1 * (in + out);
    const double p1_first = p1 + step1[0], p2_first = p2 + step2[0];
    p1 = p1_first + step1[1];
    p2 = p2_first + step2[1];
    deviations(variance(Lanes2{p1_first, p1}, Lanes2{p2_first, p2}, inverses), dev[i], dev[i + 1]);
    total += dev[i];
    total += dev[i + 1];
  }
  if (i < windows) {
    const double out = x[i - 1], in = x[i + v - 1];
    p1 += in - out;
    p2 += (in - out) * (in + out);
    dev[i] = deviation(variance(p1, p2, inverse));
    total += dev[i];
  }
  // The window ending at bar e sits in the ring at e mod w.
  const std::int64_t lo_slot = lo % w, head = std::min(windows, w - lo_slot);
  std::copy(dev, dev + head, vc.ring.data() + lo_slot);
  std::copy(dev + head, dev + windows, vc.ring.data());
  vc.s1 = CompensatedSum{p1, 0.0};
  vc.s2 = CompensatedSum{p2, 0.0};
  vc.total = CompensatedSum{total, 0.0};
  vc.lo = lo;
  vc.hi = hi;
  vc.lo_slot = lo_slot;
  vc.hi_slot = hi % w;
  const double mean = vc.total.value() / static_cast<double>(windows);
  if (mean > 0.0) return 1.0 + dev[windows - 1] / mean;
  return 1.0;
}

// Spread position: enter against a large |z|, leave only through the barrier.
// Returns the position the legs carry (none while the classifier refuses it).
KORVANE_INLINE std::int64_t PairEngine::advance_position(const Bar& c, std::size_t k, PairWindow& pw, double value,
                                          const EntryZscore& z) {
  PairStates& s = state;
  std::int64_t position = s.position[k];
  barrier::State& bs = s.barrier[k];
  if (c.may_enter && std::fabs(z.zscore) > c.p.starting_sd_for_position_entry && position == 0) {
    EntryDecision decision;
    if (c.hook != nullptr) decision = c.hook->on_entry(static_cast<std::int64_t>(k), c.bar, pw.h1, pw.h2);
    if (decision.refused) s.refused[k] = 1;
    position = z.zscore > 0.0 ? -1 : (z.zscore < 0.0 ? 1 : 0);
    s.position[k] = position;
    barrier::set(bs, c.p.barrier, position, value, z.std, pw.halflife, volatility_multiplier(c, k, pw, true));
    if (!s.refused[k]) {
      s.has_record[k] = 1;
      s.record_entry_time[k] = c.time;
      s.record_features_token[k] = decision.features_token;
    }
  } else if (position != 0) {
    const double m = barrier::adjustment_due(bs) ? volatility_multiplier(c, k, pw, false) : 0.0;
    barrier::update(bs, c.p.barrier, position, m, c.iv.triple_barrier_update);
    const barrier::Crossing crossing = barrier::test(bs, position, value);
    if (crossing.crossed) {
      position = 0;
      s.position[k] = 0;
      close_trade(c, k, crossing);
    }
  }
  return s.refused[k] ? 0 : position;
}

void PairEngine::close_trade(const Bar& c, std::size_t k, const barrier::Crossing& crossing) {
  PairStates& s = state;
  if (s.refused[k]) {
    s.refused[k] = 0;
    return;
  }
  ClosedTrade t;
  t.pair = static_cast<std::int64_t>(k);
  t.entry_time = s.has_record[k] ? s.record_entry_time[k] : INT64_MIN;
  t.exit_time = c.time;
  t.label = crossing.label;
  t.returns = crossing.returns;
  t.features_token = s.has_record[k] ? s.record_features_token[k] : -1;
  t.exit_bar = c.in_run ? c.bar : -1;
  closed.push_back(t);
}

// Legs: each security's amount is scaled by the other's latest close, so
// that the legs' market values stand in the ratio of the hedge ratios.
KORVANE_INLINE void PairEngine::add_legs(const Bar& c, std::size_t k, std::int64_t reported, double h1, double h2) {
  if (reported == 0) return;
  const std::int64_t a = first_[k], b = second_[k];
  const double sp = static_cast<double>(reported);
  c.row[c.position_index[a]] += sp * h1 * c.close_row[c.close_offset[b]];
  c.row[c.position_index[b]] += sp * h2 * c.close_row[c.close_offset[a]];
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
  // The legs read each security's close on a bar's row of the data.
  close_offset_.resize(static_cast<std::size_t>(securities));
  for (std::int64_t sec = 0; sec < securities; ++sec)
    close_offset_[static_cast<std::size_t>(sec)] = close_column[sec] * column_stride;
  secm_.assign(static_cast<std::size_t>(securities), moments::SeriesMoments{});
  // A flat pair is tested again within new_spread_update + 1 bars, so the
  // tests of the last ones leave every rejected pair's ratios in the state.
  last_lazy_bar_ = rows - 1 - (iv.new_spread_update > 0 ? iv.new_spread_update : 0);
  // Many pairs are taken in blocks, each over a stretch of bars: a block's
  // pair states stay in cache from one bar to the next, where all pairs'
  // states together would be fetched from memory at every bar. Pairs share
  // only the per-security sums, held for the stretch and the same whichever
  // pair asks first, and the positions rows, which still receive each
  // pair's legs in pair order. Runs that call out (entries, substituted
  // estimators), and traces, keep bar order.
  const std::size_t pairs = first_.size();
  const bool blocked =
      hook == nullptr && trace == nullptr && estimation == nullptr && pairs > kBlockPairs;
  const std::size_t block = blocked ? kBlockPairs : std::max<std::size_t>(pairs, 1);
  for (std::int64_t from = window; from < rows; from += kStretchBars) {
    const std::int64_t to = std::min(rows, from + kStretchBars);
    sums_from_ = from;
    sums_securities_ = securities;
    series_sums_.resize(static_cast<std::size_t>((to - from) * securities));
    sums_known_.assign(series_sums_.size(), 0);
    series_tests_.resize(series_sums_.size());
    tests_known_.assign(series_sums_.size(), 0);
    const std::size_t closed_before = closed.size();
    for (std::size_t k0 = 0; k0 < pairs; k0 += block) {
      const std::size_t k1 = std::min(pairs, k0 + block);
      for (std::int64_t i = from; i < to; ++i) {
        for (std::int64_t sec = 0; sec < securities; ++sec)
          log_ptr_[static_cast<std::size_t>(sec)] = logs_.data() + sec * rows + (i - window);
        step_block(log_ptr_.data(), data + (i - 1) * row_stride, close_offset_.data(), window,
                   position_index, positions + i * securities, times[i], i, iv, p, crit, hook,
                   k0, k1);
      }
    }
    // Closing order: by bar, then by pair.
    if (blocked)
      std::stable_sort(
          closed.begin() + static_cast<std::ptrdiff_t>(closed_before), closed.end(),
          [](const ClosedTrade& x, const ClosedTrade& y) { return x.exit_bar < y.exit_bar; });
  }
  last_lazy_bar_ = -1;
}

}  // namespace korvane::engine

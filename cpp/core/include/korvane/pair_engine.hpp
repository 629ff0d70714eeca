#pragma once
// The per-pair engine of the pairs-trading backtest.
//
// Every pair of two securities carries a small state between bars (hedge
// ratios, verdict, half-life, spread position, re-estimation countdown,
// barriers, the open trade). It is held here as struct-of-arrays, indexed by
// the pair's position in combinations order. One bar of the engine takes the
// window of the W bars before the bar being decided, as log closes per
// security, and adds every pair's two legs into one positions row.
#include <cstdint>
#include <vector>

#include "korvane/compensated_sum.hpp"
#include "korvane/johansen.hpp"
#include "korvane/triple_barrier.hpp"
#include "korvane/window_moments.hpp"

namespace korvane::engine {

// Fixed per factor: bars per trading day (three intervals) and the bounds of
// the z-score window.
struct Intervals {
  std::int64_t new_spread_update = 1;      // re-estimation countdown reset
  std::int64_t johansen_resampling = 1;    // bars per daily sample
  std::int64_t triple_barrier_update = 1;  // barrier resizing countdown reset
  std::int64_t max_zscore_window = 0;
  std::int64_t min_zscore_window = 30;
};

// The strategy parameters read per bar.
struct Params {
  double zscore_halflife_multiplier = 0.0;
  double starting_sd_for_position_entry = 0.0;
  double rolling_volatility_halflife_multiplier = 0.0;
  // False when the multiplier cannot be computed for want of its parameter:
  // the volatility multiplier is then 0.
  bool volatility_multiplier_available = true;
  barrier::Settings barrier;

  // A NaN barrier setting or volatility multiplier would silently switch its
  // exit rule off (every comparison with NaN is false) while entries went on,
  // so such a parameter set opens no position, like a NaN z-score setting.
  bool tradable() const;
};

// A trade closed by its barrier and not refused by the entry classifier.
struct ClosedTrade {
  std::int64_t pair = 0;
  std::int64_t entry_time = 0;  // caller's time stamps (ns since epoch)
  std::int64_t exit_time = 0;
  std::int64_t label = 0;
  double returns = 0.0;
  std::int64_t features_token = -1;  // -1: no features collected at entry
  std::int64_t exit_bar = -1;        // bar of the run it closed on (-1 in a single step)
};

// Closed trades as one column per field, in closing order.
struct ClosedTradeColumns {
  std::vector<std::int64_t> pair, entry_time, exit_time, label, features_token;
  std::vector<double> returns;
};
ClosedTradeColumns columns_of(const std::vector<ClosedTrade>& trades);

// What the caller's entry hook decided for one entry.
struct EntryDecision {
  bool refused = false;              // the classifier refused the entry
  std::int64_t features_token = -1;  // handle of the features collected, or -1
};

// Calls out at entries (feature collection, classifier gate). Implemented
// outside the core; the engine never calls it when none is given.
class EntryHook {
 public:
  virtual ~EntryHook() = default;
  // `bar` is the bar being decided in a whole run, -1 in a single step.
  virtual EntryDecision on_entry(std::int64_t pair, std::int64_t bar, double h1, double h2) = 0;
};

// Replaces the native Johansen test and half-life regression, for a caller
// that substitutes its own estimators. Implemented outside the core.
class EstimationHook {
 public:
  virtual ~EstimationHook() = default;
  // Hedge ratios and verdict from two windows of W log closes.
  virtual johansen::HedgeRatios hedge_ratios(const double* log_close_1, const double* log_close_2,
                                             std::int64_t window, std::int64_t bars_per_day) = 0;
  // Half-life of a cointegrated pair's spread over W values.
  virtual std::int64_t halflife(const double* spread, std::int64_t window) = 0;
};

struct PairStates {
  std::vector<double> h1, h2;
  std::vector<std::uint8_t> is_cointegrated;
  std::vector<std::int64_t> halflife;
  std::vector<std::int64_t> position;  // stored spread position (-1, 0, +1)
  std::vector<std::int64_t> reestimation_countdown;
  std::vector<barrier::State> barrier;
  std::vector<std::uint8_t> refused;  // open position refused by the classifier
  std::vector<std::uint8_t> has_record;
  std::vector<std::int64_t> record_entry_time;
  std::vector<std::int64_t> record_features_token;

  void reset(std::size_t pairs);
};

// Per pair-bar values kept only when a trace is asked for (tests).
struct Trace {
  std::vector<std::uint8_t> is_cointegrated;
  std::vector<std::int64_t> countdown, halflife, position, reported;
  std::vector<double> h1, h2, zscore, value;
};

// The rolling standard deviations of one open position's spread over a whole
// run: while a position is open its hedge ratios and half-life are fixed, so
// each rolling window's deviation is computed once and the average moves
// with the window.
struct VolatilityCache {
  bool valid = false;
  std::int64_t v = 0;
  double inverse = 0.0;  // 1 / v
  // What v was worked out from: a position keeps its half-life.
  std::int64_t window = 0, halflife = 0;
  double multiplier = 0.0;
  double centre = 0.0;
  CompensatedSum s1, s2;        // the rolling window ending at `hi`
  std::int64_t lo = 0, hi = -1; // bar indices of the first and last window ends
  CompensatedSum total;         // sum of the deviations of windows ending in [lo, hi]
  std::vector<double> ring;     // deviation of the window ending at bar e, at e mod W
  std::int64_t lo_slot = 0, hi_slot = 0;  // lo mod W, hi mod W
};

class PairEngine {
 public:
  // The pairs' legs are security indices (0 or more); nothing is sized by
  // them until a step or run gives the securities they address.
  PairEngine(std::vector<std::int64_t> first, std::vector<std::int64_t> second);

  std::size_t pairs() const { return first_.size(); }
  const std::vector<std::int64_t>& first() const { return first_; }
  const std::vector<std::int64_t>& second() const { return second_; }

  // Every pair flat, no barriers, no open trade, re-estimation due at once.
  void reset();

  // One bar. `logs[s]` points to the W log closes of security s over the
  // window (oldest first); `last_close[s]` is its close on the window's last
  // row; `position_index[s]` its column in `row`, where the legs are added.
  // Every leg must address one of the securities given.
  // `position_index` is read at every pair's legs, after any call of the
  // hook too: it must not change during the call.
  void step(const double* const* logs, const double* last_close, std::int64_t window,
            const std::int64_t* position_index, double* row, std::int64_t time, std::int64_t bar,
            const Intervals& iv, const Params& p, const johansen::CriticalValues& crit,
            EntryHook* hook);

  // Whole run over a bar matrix of T rows (element (t, c) at
  // data[t * row_stride + c * column_stride]): row i of `positions` (T x N
  // for N `securities`, zeroed by the caller) is decided from rows [i-W, i),
  // for every i >= W.
  // Log closes are taken once for the whole run.
  // `close_column` and `position_index` are read at every bar, after any
  // call of the hook too: they must not change during the call.
  void run(const double* data, std::int64_t rows, std::int64_t row_stride, std::int64_t column_stride,
           const std::int64_t* close_column, std::int64_t securities,
           const std::int64_t* position_index, std::int64_t window, const std::int64_t* times,
           double* positions, const Intervals& iv, const Params& p,
           const johansen::CriticalValues& crit, EntryHook* hook);

  PairStates state;
  std::vector<ClosedTrade> closed;  // appended in closing order; drained by the caller
  Trace* trace = nullptr;
  EstimationHook* estimation = nullptr;  // native estimators when null

 private:
  struct Bar;
  struct PairWindow;
  struct EntryZscore {
    bool known = false;  // false for a pair that holds a position
    double zscore = 0.0, std = 0.0;
  };
  // The named parts of one pair's bar, in the order step runs them.
  void step_pair(const Bar& c, std::size_t k);
  void reestimate(const Bar& c, std::size_t k, PairWindow& pw);
  johansen::HedgeRatios sliding_hedge_ratios(const Bar& c, std::size_t k, const PairWindow& pw);
  std::int64_t estimate_halflife(const Bar& c, std::size_t k, PairWindow& pw,
                                 const johansen::HedgeRatios& hr);
  EntryZscore entry_zscore(const Bar& c, std::size_t k, const PairWindow& pw, double value);
  double volatility_multiplier(const Bar& c, std::size_t k, PairWindow& pw, bool at_entry);
  double start_volatility(VolatilityCache& vc, const PairWindow& pw, std::int64_t w,
                          std::int64_t lo, std::int64_t hi);
  std::int64_t advance_position(const Bar& c, std::size_t k, PairWindow& pw, double value,
                                const EntryZscore& z);
  void close_trade(const Bar& c, std::size_t k, const barrier::Crossing& crossing);
  void step_block(const double* const* logs, const double* close_row,
                  const std::int64_t* close_offset, std::int64_t window,
                  const std::int64_t* position_index, double* row, std::int64_t time,
                  std::int64_t bar, const Intervals& iv, const Params& p,
                  const johansen::CriticalValues& crit, EntryHook* hook, std::size_t k0,
                  std::size_t k1);
  void add_legs(const Bar& c, std::size_t k, std::int64_t reported, double h1, double h2);

  std::vector<std::int64_t> first_, second_;
  std::int64_t largest_leg_ = -1;  // the highest security index of a leg (-1 without pairs)
  std::vector<double> spread_;  // scratch: one pair's spread over the window
  // Scratch of a position's start: its spread about the latest value, and
  // the rolling deviations.
  std::vector<double> centred_, deviations_;
  std::vector<const double*> log_ptr_;
  std::vector<double> last_close_;
  std::vector<double> logs_;
  // Where each security's close sits on a row: of the data in a whole run,
  // of the closes given to a single step.
  std::vector<std::int64_t> close_offset_, security_index_;
  // Sliding sums over the window's bars: per security (moved to the current
  // window by the first of its pairs that needs them), and per pair for
  // what mixes its two legs (daily bars: the Johansen test; any bars: the
  // half-life). Per pair over the test's daily rows when a day has several
  // bars, and over the z-score window.
  std::vector<moments::SeriesMoments> secm_;
  // Their values over the windows of a stretch of bars, bar by bar, each
  // worked out when first asked for.
  std::vector<moments::SeriesSums> series_sums_;
  std::vector<std::uint8_t> sums_known_;
  // And the securities' shares of the daily test over those windows.
  std::vector<moments::SeriesTestStats> series_tests_;
  std::vector<std::uint8_t> tests_known_;
  const moments::SeriesTestStats& series_test_stats(std::int64_t bar, std::int64_t security,
                                                    const double* series, std::int64_t window);
  std::int64_t sums_from_ = 0, sums_securities_ = 0;
  const moments::SeriesSums& series_sums(std::int64_t bar, std::int64_t security,
                                         const double* series, std::int64_t window);
  std::vector<moments::CrossMoments> cross_;
  std::vector<moments::PairMoments> daily_;
  std::vector<std::int64_t> last_estimate_;  // bar of each pair's last re-estimation
  // The Johansen verdict's bounds for the test's row count.
  johansen::VerdictBounds bounds_;
  std::int64_t bounds_rows_ = -1;
  johansen::CriticalValues bounds_crit_;
  // Bars of a whole run before this one may skip a rejected pair's ratios
  // (none outside a run).
  std::int64_t last_lazy_bar_ = -1;
  std::vector<moments::LevelMoments> zsum_;
  std::vector<VolatilityCache> vcache_;
};

// Log closes of N securities over the rows of a window, one contiguous series
// of `rows` values per security, and each security's close on the last row.
void window_log_closes(const double* data, std::int64_t rows, std::int64_t row_stride,
                       std::int64_t column_stride, const std::int64_t* close_column,
                       std::int64_t securities, std::vector<double>& logs,
                       std::vector<const double*>& series, std::vector<double>& last_close);

}  // namespace korvane::engine

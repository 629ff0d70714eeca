// The cointegration-signal kernels one by one, and a whole engine run on a
// close matrix, for parity tests against statsmodels, scikit-learn and numpy
// and for benchmarks.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "argument_checks.hpp"
#include "binding_prelude.hpp"
#include "engine_params.hpp"
#include "korvane/johansen.hpp"
#include "korvane/pair_engine.hpp"
#include "korvane/spread_stats.hpp"
#include "korvane/triple_barrier.hpp"

namespace {

using korvane::bind::barrier_settings_from;
using korvane::bind::require_at_least;
using korvane::bind::require_length;

korvane::johansen::CriticalValues critical(double max_eigen_90, double trace_90) {
  return {max_eigen_90, trace_90};
}

nb::dict barrier_state_dict(const korvane::barrier::State& s) {
  nb::dict d;
  d["take_profit"] = s.take_profit;
  d["stop_loss"] = s.stop_loss;
  d["time_stop"] = s.time_stop;
  d["entry_value"] = s.entry_value;
  d["entry_std"] = s.entry_std;
  d["adjustment_countdown"] = s.adjustment_countdown;
  return d;
}

korvane::barrier::State barrier_state(const nb::dict& d) {
  korvane::barrier::State s;
  s.take_profit = korvane::bind::float_at(d, "take_profit");
  s.stop_loss = korvane::bind::float_at(d, "stop_loss");
  s.time_stop = korvane::bind::float_at(d, "time_stop");
  s.entry_value = korvane::bind::float_at(d, "entry_value");
  s.entry_std = korvane::bind::float_at(d, "entry_std");
  s.adjustment_countdown = nb::cast<int64_t>(d["adjustment_countdown"]);
  return s;
}

// Per pair-bar trace values as a bars x pairs matrix.
template <typename T>
Array<T> trace_matrix(const std::vector<T>& values, size_t bars, size_t pairs) {
  return array_copy(values.data(), {bars, pairs});
}

nb::dict johansen_test(CVector y1, CVector y2, double max_eigen_90, double trace_90) {
  require_length("y2", y2.shape(0), y1.shape(0), "value of y1");
  const auto r = korvane::johansen::test(y1.data(), y2.data(), static_cast<int64_t>(y1.shape(0)),
                                         1, critical(max_eigen_90, trace_90));
  nb::dict d;
  d["ok"] = r.ok;
  d["eigenvalues"] = nb::make_tuple(r.eigenvalue[0], r.eigenvalue[1]);
  d["evec0"] = nb::make_tuple(r.evec0[0], r.evec0[1]);
  d["max_eig_stat"] = r.max_eigen_statistic;
  d["trace_stat"] = r.trace_statistic;
  d["is_cointegrated"] = r.is_cointegrated;
  return d;
}

nb::tuple hedge_ratio_from_johansen(CVector log1, CVector log2, int64_t bars_per_day,
                                    double max_eigen_90, double trace_90) {
  require_length("log_close_2", log2.shape(0), log1.shape(0), "value of log_close_1");
  require_at_least("bars_per_day", bars_per_day, 1);
  const auto r = korvane::johansen::hedge_ratios_from_daily_closes(
      log1.data(), log2.data(), static_cast<int64_t>(log1.shape(0)), bars_per_day,
      critical(max_eigen_90, trace_90));
  return nb::make_tuple(r.h1, r.h2, r.is_cointegrated);
}

// Whole engine run on a bars x securities close matrix (the close of
// security s in column s, legs in column s of the positions).
nb::dict run_engine(CMatrix closes, int64_t window, nb::dict params, int64_t bars_per_day,
                    int64_t max_zscore_window, double max_eigen_90, double trace_90,
                    int64_t min_zscore_window, bool trace) {
  const int64_t rows = static_cast<int64_t>(closes.shape(0));
  const int64_t n = static_cast<int64_t>(closes.shape(1));
  if (window < 2 || window >= rows) throw std::invalid_argument("window must be in [2, rows)");
  require_at_least("bars_per_day", bars_per_day, 1);
  require_at_least("min_zscore_window", min_zscore_window, 1);
  std::vector<int64_t> first, second, cols(static_cast<size_t>(n)), times(static_cast<size_t>(rows));
  for (int64_t a = 0; a < n; ++a)
    for (int64_t b = a + 1; b < n; ++b) first.push_back(a), second.push_back(b);
  for (int64_t s = 0; s < n; ++s) cols[static_cast<size_t>(s)] = s;
  for (int64_t t = 0; t < rows; ++t) times[static_cast<size_t>(t)] = t;

  korvane::engine::Intervals iv;
  iv.new_spread_update = iv.johansen_resampling = iv.triple_barrier_update = bars_per_day;
  iv.max_zscore_window = max_zscore_window;
  iv.min_zscore_window = min_zscore_window;
  const korvane::engine::Params p = korvane::bind::engine_params_from(params, nb::none());

  korvane::engine::PairEngine engine(first, second);
  korvane::engine::Trace tr;
  if (trace) engine.trace = &tr;
  std::unique_ptr<double[]> buffer = new_buffer<double>(static_cast<size_t>(rows * n));
  double* positions = buffer.get();
  std::fill_n(positions, rows * n, 0.0);
  auto positions_array = owned_array(std::move(buffer), {static_cast<size_t>(rows), static_cast<size_t>(n)});
  {
    nb::gil_scoped_release release;
    engine.run(closes.data(), rows, n, 1, cols.data(), n, cols.data(), window, times.data(), positions,
               iv, p, critical(max_eigen_90, trace_90), nullptr);
  }
  nb::dict out;
  out["positions"] = positions_array;
  const korvane::engine::ClosedTradeColumns trades = korvane::engine::columns_of(engine.closed);
  out["trade_pair"] = array_copy(trades.pair);
  out["trade_entry_bar"] = array_copy(trades.entry_time);
  out["trade_exit_bar"] = array_copy(trades.exit_time);
  out["trade_label"] = array_copy(trades.label);
  out["trade_returns"] = array_copy(trades.returns);
  const auto& s = engine.state;
  out["h1"] = array_copy(s.h1);
  out["h2"] = array_copy(s.h2);
  out["halflife"] = array_copy(s.halflife);
  out["position"] = array_copy(s.position);
  out["countdown"] = array_copy(s.reestimation_countdown);
  if (trace) {
    const size_t bars = static_cast<size_t>(rows - window), pairs = first.size();
    out["trace_is_cointegrated"] = trace_matrix(tr.is_cointegrated, bars, pairs);
    out["trace_countdown"] = trace_matrix(tr.countdown, bars, pairs);
    out["trace_halflife"] = trace_matrix(tr.halflife, bars, pairs);
    out["trace_position"] = trace_matrix(tr.position, bars, pairs);
    out["trace_reported"] = trace_matrix(tr.reported, bars, pairs);
    out["trace_h1"] = trace_matrix(tr.h1, bars, pairs);
    out["trace_h2"] = trace_matrix(tr.h2, bars, pairs);
    out["trace_zscore"] = trace_matrix(tr.zscore, bars, pairs);
    out["trace_value"] = trace_matrix(tr.value, bars, pairs);
  }
  return out;
}

}  // namespace

void bind_signal_kernels(nb::module_& m) {
  m.def("johansen_test", &johansen_test, "y1"_a, "y2"_a, "max_eigen_90"_a, "trace_90"_a,
        "Two-series Johansen test (linear trend, no lagged differences) on n rows.");
  m.def("hedge_ratio_from_johansen", &hedge_ratio_from_johansen, "log_close_1"_a, "log_close_2"_a,
        "bars_per_day"_a, "max_eigen_90"_a, "trace_90"_a,
        "(h1, h2, is_cointegrated) from two log-close windows sampled once per day.");
  m.def("mean_std", [](CVector v) {
    const auto r = korvane::spread::mean_std(v.data(), static_cast<int64_t>(v.shape(0)));
    return nb::make_tuple(r.mean, r.std);
  }, "values"_a);
  m.def("halflife_slope", [](CVector v) {
    return korvane::spread::halflife_slope(v.data(), static_cast<int64_t>(v.shape(0)));
  }, "spread"_a);
  m.def("halflife_from_slope", &korvane::spread::halflife_from_slope, "slope"_a);
  m.def("halflife", [](bool coint, CVector v) {
    return korvane::spread::halflife(coint, v.data(), static_cast<int64_t>(v.shape(0)));
  }, "is_cointegrated"_a, "spread"_a);
  m.def("zscore_for_pair", [](CVector v, int64_t halflife, double multiplier, bool coint,
                              int64_t minimum, int64_t maximum) {
    if (v.shape(0) == 0) throw std::invalid_argument("empty spread");
    require_at_least("minimum", minimum, 1);
    const auto z = korvane::spread::zscore(v.data(), static_cast<int64_t>(v.shape(0)), halflife,
                                           multiplier, coint, minimum, maximum);
    return nb::make_tuple(z.zscore, z.current_value, z.std, z.mean);
  }, "spread"_a, "halflife"_a, "multiplier"_a, "is_cointegrated"_a, "minimum"_a, "maximum"_a);
  m.def("volatility_multiplier", [](CVector v, int64_t halflife, double multiplier) {
    return korvane::spread::volatility_multiplier(v.data(), static_cast<int64_t>(v.shape(0)),
                                                  halflife, multiplier);
  }, "spread"_a, "halflife"_a, "multiplier"_a);
  m.def("set_triple_barrier", [](nb::dict settings, int64_t position, double value, double std,
                                 int64_t halflife, double multiplier, int64_t countdown) {
    korvane::barrier::State s;
    s.adjustment_countdown = countdown;
    korvane::barrier::set(s, barrier_settings_from(settings), position, value, std, halflife, multiplier);
    return barrier_state_dict(s);
  }, "params"_a, "position"_a, "value"_a, "std"_a, "halflife"_a, "volatility_multiplier"_a,
        "adjustment_countdown"_a = 0);
  m.def("update_triple_barrier", [](nb::dict state, nb::dict settings, int64_t position,
                                    double multiplier, int64_t interval) {
    korvane::barrier::State s = barrier_state(state);
    korvane::barrier::update(s, barrier_settings_from(settings), position, multiplier, interval);
    return barrier_state_dict(s);
  }, "state"_a, "params"_a, "position"_a, "volatility_multiplier"_a, "interval"_a);
  m.def("check_triple_barrier", [](nb::dict state, int64_t position, double value) {
    const auto c = korvane::barrier::test(barrier_state(state), position, value);
    return nb::make_tuple(c.crossed, c.label, c.returns);
  }, "state"_a, "position"_a, "value"_a);
  m.def("run_engine", &run_engine, "closes"_a, "window"_a, "params"_a, "bars_per_day"_a,
        "max_zscore_window"_a, "max_eigen_90"_a, "trace_90"_a, "min_zscore_window"_a = 30,
        "trace"_a = false,
        "Whole engine run on a bars x securities close matrix; trade times are bar indices.");
}

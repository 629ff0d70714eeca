// Element-wise loops are vectorised (GCC's -O2 cost model leaves loops of
// unknown length scalar). Vectorising an element-wise loop changes no result,
// and reductions stay in source order: no reassociation is enabled.
#pragma GCC optimize("vect-cost-model=dynamic")

#include "korvane/accounting.hpp"
#include "korvane/pairwise_sum.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace korvane::accounting {

namespace {

// Row helpers. Every loop below is element-wise, with each element computed
// in the operation order of the numpy expression it mirrors, so vectorising
// it changes no result; only the sums (pairwise_sum) carry an order across
// elements, and that order is kept.

inline double sum_of_abs(const double* __restrict row, std::size_t n, double* __restrict scratch) {
  for (std::size_t i = 0; i < n; ++i) scratch[i] = std::fabs(row[i]);
  return pairwise_sum(scratch, n);
}

inline void scale_row(const double* __restrict raw_row, double total_abs_raw, const double* __restrict close_row,
                      double equity, double pct_equity_invested, bool scale_to_traded, std::size_t n,
                      double* __restrict out, double* __restrict scratch) {
  // Market value weights: raw weights valued at the close, normalised again
  // so that their absolute values sum to one.
  for (std::size_t i = 0; i < n; ++i) out[i] = (raw_row[i] / total_abs_raw) * close_row[i];
  const double total_abs_market_value = sum_of_abs(out, n, scratch);
  for (std::size_t i = 0; i < n; ++i) out[i] = out[i] / total_abs_market_value;
  if (scale_to_traded) {
    // Exposure shrinks with the share of the universe actually traded; a NaN
    // weight counts as traded, like numpy's count_nonzero.
    std::size_t traded = 0;
    for (std::size_t i = 0; i < n; ++i) traded += (out[i] != 0.0);
    const double ratio = static_cast<double>(traded) / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = ((out[i] * equity) * pct_equity_invested) * ratio;
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = (out[i] * equity) * pct_equity_invested;
  }
}

inline double equity_row(const double* __restrict close_row, const double* __restrict previous_close_row,
                         const double* __restrict previous_units, double previous_equity, std::size_t n,
                         double* __restrict pnl_out) {
  for (std::size_t i = 0; i < n; ++i) pnl_out[i] = previous_units[i] * (close_row[i] - previous_close_row[i]);
  return previous_equity + pairwise_sum(pnl_out, n);
}

inline double commission(double traded_value, double pct_commissions) {
  return std::fabs(traded_value) * pct_commissions;
}

inline double slippage(double traded_value, double proportional_spread, double bid_ask_spread_pct_slippage) {
  return (std::fabs(traded_value) * proportional_spread) * bid_ask_spread_pct_slippage;
}

// Units from market values, the trades, their costs and the after-cost pnl
// of one bar; returns the bar's after-cost total.
inline double settle_row(const double* __restrict market_value, const double* __restrict close_row,
                         const double* __restrict previous_units, const double* __restrict pnl,
                         const double* __restrict spread, double pct_commissions,
                         double bid_ask_spread_pct_slippage, std::size_t n, double* __restrict units,
                         double* __restrict change, double* __restrict change_value,
                         double* __restrict commissions, double* __restrict slippages,
                         double* __restrict pnl_after) {
  for (std::size_t i = 0; i < n; ++i) {
    const double u = market_value[i] / close_row[i];
    const double d = u - previous_units[i];
    const double v = d * close_row[i];
    const double c = commission(v, pct_commissions);
    const double s = slippage(v, spread[i], bid_ask_spread_pct_slippage);
    units[i] = u;
    change[i] = d;
    change_value[i] = v;
    commissions[i] = c;
    slippages[i] = s;
    pnl_after[i] = (pnl[i] - c) - s;
  }
  return pairwise_sum(pnl_after, n);
}

// The bar-by-bar walk over one split. The book is in position after a bar
// exactly when the bar's raw row is not all zero (a NaN total counts as not
// zero). The pnl of the units held is booked on every bar that starts in
// position, the exit bar included, and sizing uses the equity after that
// pnl. `cost_rows(t, commissions, slippage, pnl_after)` names where bar t's
// costs and after-cost pnl go; `total_out(t, total)` receives its total.
//
// State lives in locals so that stores through the row pointers cannot be
// taken to overwrite it.
template <class CostRows, class TotalOut>
void walk(const double* raw, const double* close, const double* spread, std::size_t bars, std::size_t n,
          double starting_equity, double pct_equity_invested, bool scale_to_traded, double pct_commissions,
          double bid_ask_spread_pct_slippage, const PositionBooks& p, CostRows cost_rows, TotalOut total_out) {
  std::vector<double> scratch_buffer(n), zero_row(n, 0.0);
  double* scratch = scratch_buffer.data();
  double equity = starting_equity;
  bool in_position = false;
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * n;
    const double* raw_row = raw + row;
    const double* close_row = close + row;
    // Before the first bar the book is flat, so the previous close is unused.
    const double* previous_close = t ? close_row - n : zero_row.data();
    const double* previous_units = t ? p.positions + row - n : zero_row.data();
    double* market_value = p.positions_market_value + row;
    double* pnl = p.securities_pnl + row;

    const double total_abs_raw = sum_of_abs(raw_row, n, scratch);
    if (in_position) {
      equity = equity_row(close_row, previous_close, previous_units, equity, n, pnl);
    } else {
      std::memset(pnl, 0, n * sizeof(double));
    }
    in_position = total_abs_raw != 0.0;
    if (in_position) {
      // A book whose equity has gone below zero holds nothing: sizing on a
      // negative equity would turn every short into a long.
      const double sizing_equity = equity < 0.0 ? 0.0 : equity;
      scale_row(raw_row, total_abs_raw, close_row, sizing_equity, pct_equity_invested, scale_to_traded, n,
                market_value, scratch);
    } else {
      std::memset(market_value, 0, n * sizeof(double));
    }
    double *commissions, *slippages, *pnl_after;
    cost_rows(t, commissions, slippages, pnl_after);
    total_out(t, settle_row(market_value, close_row, previous_units, pnl, spread, pct_commissions,
                            bid_ask_spread_pct_slippage, n, p.positions + row, p.change_in_positions + row,
                            p.change_in_positions_market_value + row, commissions, slippages, pnl_after));
  }
}

// Equity curve, cut-off and returns from the per-bar totals already in
// `curves.total_pnl_after_transaction_costs`.
void finish_curves(const SplitBooks& books, std::size_t bars, std::size_t n, double starting_equity,
                   const SplitCurves& curves) {
  double* total = curves.total_pnl_after_transaction_costs;
  double* equity = curves.equity_value;
  double running = 0.0;
  std::size_t first_ruined = bars;
  for (std::size_t t = 0; t < bars; ++t) {
    running += total[t];
    equity[t] = running + starting_equity;
    if (first_ruined == bars && equity[t] <= 0.0) first_ruined = t;
  }

  if (first_ruined < bars) {
    // Limited liability: the ruinous bar loses exactly what was left, and the
    // account is closed from then on.
    const std::size_t k = first_ruined;
    const double left_before = (k == 0) ? starting_equity : equity[k - 1];
    const double capped_total = left_before > 0.0 ? -left_before : 0.0;
    // The bar's books shrink with its total, so that gross pnl minus costs
    // still adds up to it; the factor lies in [0, 1] and keeps every sign.
    if (total[k] != capped_total) {
      const double factor = capped_total / total[k];
      const std::size_t offset = k * n;
      double* money[] = {books.securities_pnl_after_transaction_costs, books.commissions, books.slippage,
                         books.positions.securities_pnl};
      for (double* m : money) {
        for (std::size_t i = 0; i < n; ++i) m[offset + i] *= factor;
      }
      total[k] = capped_total;
    }
    for (std::size_t t = k; t < bars; ++t) equity[t] = 0.0;
    const std::size_t after = k + 1;
    if (after < bars) {
      const std::size_t count = (bars - after) * n;
      const std::size_t offset = after * n;
      double* matrices[] = {books.securities_pnl_after_transaction_costs,
                            books.commissions,
                            books.slippage,
                            books.positions.securities_pnl,
                            books.positions.positions,
                            books.positions.positions_market_value,
                            books.positions.change_in_positions,
                            books.positions.change_in_positions_market_value};
      for (double* m : matrices) std::memset(m + offset, 0, count * sizeof(double));
      for (std::size_t t = after; t < bars; ++t) total[t] = 0.0;
    }
  }

  constexpr double kMax = std::numeric_limits<double>::max();
  double product = 1.0;
  for (std::size_t i = 0; i + 1 < bars; ++i) {
    double r = total[i + 1] / equity[i];
    if (i == 0 && first_ruined == 0) {
      // Returns start at bar 1; a ruin on bar 0 has no slot of its own and is
      // booked as the first return, so the growth ends at 0 as for any ruin.
      r = -1.0;
    } else if (std::isnan(r)) {
      r = 0.0;
    } else if (std::isinf(r)) {
      r = r > 0 ? kMax : -kMax;
    }
    curves.returns_after_transaction_costs[i] = r;
    product *= 1.0 + r;
    curves.cumprod_returns_after_transaction_costs[i] = product;
  }
}

}  // namespace

void scale_positions_market_value(const double* raw_row, double total_abs_raw, const double* close_row,
                                  double equity, double pct_equity_invested, bool scale_to_traded,
                                  std::size_t n, double* market_value_out) {
  std::vector<double> scratch(n);
  scale_row(raw_row, total_abs_raw, close_row, equity, pct_equity_invested, scale_to_traded, n, market_value_out,
            scratch.data());
}

double equity_after_pnl_change(const double* close_row, const double* previous_close_row,
                               const double* previous_units, double previous_equity, std::size_t n,
                               double* pnl_out) {
  return equity_row(close_row, previous_close_row, previous_units, previous_equity, n, pnl_out);
}

void account_positions_and_equity(const double* raw_positions, const double* close, std::size_t bars,
                                  std::size_t securities, double starting_equity, double pct_equity_invested,
                                  bool scale_to_traded, const PositionBooks& out) {
  // The walk also prices each bar's trades; here they go to scratch rows.
  const std::size_t n = securities;
  std::vector<double> cost_rows(3 * n), no_spread(n, 0.0);
  walk(raw_positions, close, no_spread.data(), bars, n, starting_equity, pct_equity_invested, scale_to_traded, 0.0,
       0.0, out,
       [&](std::size_t, double*& commissions, double*& slippages, double*& pnl_after) {
         commissions = cost_rows.data();
         slippages = cost_rows.data() + n;
         pnl_after = cost_rows.data() + 2 * n;
       },
       [](std::size_t, double) {});
}

void charge_commissions_and_slippage(const double* change_in_positions_market_value,
                                     const double* proportional_spread, std::size_t bars,
                                     std::size_t securities, double pct_commissions,
                                     double bid_ask_spread_pct_slippage, double* commissions_out,
                                     double* slippage_out) {
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * securities;
    for (std::size_t i = 0; i < securities; ++i) {
      const double v = change_in_positions_market_value[row + i];
      commissions_out[row + i] = commission(v, pct_commissions);
      slippage_out[row + i] = slippage(v, proportional_spread[i], bid_ask_spread_pct_slippage);
    }
  }
}

void settle_after_costs(const SplitBooks& books, std::size_t bars, std::size_t securities,
                        double starting_equity, const SplitCurves& out) {
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * securities;
    double* after = books.securities_pnl_after_transaction_costs + row;
    const double* pnl = books.positions.securities_pnl + row;
    for (std::size_t i = 0; i < securities; ++i) {
      after[i] = (pnl[i] - books.commissions[row + i]) - books.slippage[row + i];
    }
    out.total_pnl_after_transaction_costs[t] = pairwise_sum(after, securities);
  }
  finish_curves(books, bars, securities, starting_equity, out);
}

void account_split(const double* raw_positions, const double* close, const double* proportional_spread,
                   std::size_t bars, std::size_t securities, const AccountingSettings& settings,
                   const SplitBooks& books, const SplitCurves& curves) {
  const std::size_t n = securities;
  walk(raw_positions, close, proportional_spread, bars, n, settings.starting_equity, settings.pct_equity_invested,
       settings.scale_equity_to_traded_securities, settings.pct_commissions, settings.bid_ask_spread_pct_slippage,
       books.positions,
       [&](std::size_t t, double*& commissions, double*& slippages, double*& pnl_after) {
         commissions = books.commissions + t * n;
         slippages = books.slippage + t * n;
         pnl_after = books.securities_pnl_after_transaction_costs + t * n;
       },
       [&](std::size_t t, double total) { curves.total_pnl_after_transaction_costs[t] = total; });
  finish_curves(books, bars, securities, settings.starting_equity, curves);
}

}  // namespace korvane::accounting

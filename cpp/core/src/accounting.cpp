#include "korvane/accounting.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace korvane::accounting {

namespace {

constexpr std::size_t kPairwiseBlock = 128;

// Absolute values of a row into scratch, then summed the numpy way.
inline double sum_of_abs(const double* row, std::size_t n, double* scratch) {
  for (std::size_t i = 0; i < n; ++i) scratch[i] = std::fabs(row[i]);
  return pairwise_sum(scratch, n);
}

// Scaling step with caller-provided scratch of length n.
inline void scale_row(const double* raw_row, double total_abs_raw, const double* close_row, double equity,
                      double pct_equity_invested, bool scale_to_traded, std::size_t n, double* out,
                      double* scratch) {
  // Market value weights: raw weights valued at the close, normalised again
  // so that their absolute values sum to one.
  for (std::size_t i = 0; i < n; ++i) out[i] = (raw_row[i] / total_abs_raw) * close_row[i];
  const double total_abs_market_value = sum_of_abs(out, n, scratch);
  std::size_t traded = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double weight = out[i] / total_abs_market_value;
    traded += (weight != 0.0);  // NaN counts as traded, like numpy's count_nonzero
    out[i] = (weight * equity) * pct_equity_invested;
  }
  if (scale_to_traded) {
    // Exposure shrinks with the share of the universe actually traded.
    const double ratio = static_cast<double>(traded) / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) out[i] *= ratio;
  }
}

inline double equity_row(const double* close_row, const double* previous_close_row, const double* previous_units,
                         double previous_equity, std::size_t n, double* pnl_out) {
  for (std::size_t i = 0; i < n; ++i) pnl_out[i] = previous_units[i] * (close_row[i] - previous_close_row[i]);
  return previous_equity + pairwise_sum(pnl_out, n);
}

// One bar of the walk. `units_prev`/`close_prev` point at the previous bar's
// rows (or a zero row before the first bar). Returns the new in-position flag.
struct Walker {
  std::size_t n;
  double pct_equity_invested;
  bool scale_to_traded;
  double equity;
  bool in_position = false;
  std::vector<double> scratch;
  std::vector<double> zero_units;

  Walker(std::size_t n_, double starting_equity, double pct, bool scale)
      : n(n_), pct_equity_invested(pct), scale_to_traded(scale), equity(starting_equity), scratch(n_),
        zero_units(n_, 0.0) {}

  void bar(const double* raw_row, const double* close_row, const double* close_prev, const double* units_prev,
           double* mv, double* units, double* change, double* change_mv, double* pnl) {
    const double total_abs_raw = sum_of_abs(raw_row, n, scratch.data());
    std::memset(mv, 0, n * sizeof(double));
    std::memset(pnl, 0, n * sizeof(double));
    if (!in_position) {
      // A NaN total is "not zero": the book enters and carries the NaN.
      if (total_abs_raw != 0.0) {
        scale_row(raw_row, total_abs_raw, close_row, equity, pct_equity_invested, scale_to_traded, n, mv,
                  scratch.data());
        in_position = true;
      }
    } else {
      // The pnl of the units held is booked also on the exit bar.
      equity = equity_row(close_row, close_prev, units_prev, equity, n, pnl);
      if (total_abs_raw == 0.0) {
        in_position = false;
      } else {
        scale_row(raw_row, total_abs_raw, close_row, equity, pct_equity_invested, scale_to_traded, n, mv,
                  scratch.data());
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      const double u = mv[i] / close_row[i];
      const double d = u - units_prev[i];
      units[i] = u;
      change[i] = d;
      change_mv[i] = d * close_row[i];
    }
  }
};

inline void charge_row(const double* change_mv, const double* spread, std::size_t n, double pct_commissions,
                       double bid_ask_spread_pct_slippage, double* commissions, double* slippage) {
  for (std::size_t i = 0; i < n; ++i) {
    const double traded = std::fabs(change_mv[i]);
    commissions[i] = traded * pct_commissions;
    slippage[i] = (traded * spread[i]) * bid_ask_spread_pct_slippage;
  }
}

inline double net_row(const double* pnl, const double* commissions, const double* slippage, std::size_t n,
                      double* pnl_after) {
  for (std::size_t i = 0; i < n; ++i) pnl_after[i] = (pnl[i] - commissions[i]) - slippage[i];
  return pairwise_sum(pnl_after, n);
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
    total[k] = -left_before;
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
    if (std::isnan(r)) {
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

double pairwise_sum(const double* a, std::size_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= kPairwiseBlock) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

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
  const std::size_t n = securities;
  Walker walker(n, starting_equity, pct_equity_invested, scale_to_traded);
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * n;
    const double* close_prev = t ? close + row - n : walker.zero_units.data();
    const double* units_prev = t ? out.positions + row - n : walker.zero_units.data();
    walker.bar(raw_positions + row, close + row, close_prev, units_prev, out.positions_market_value + row,
               out.positions + row, out.change_in_positions + row, out.change_in_positions_market_value + row,
               out.securities_pnl + row);
  }
}

void charge_commissions_and_slippage(const double* change_in_positions_market_value,
                                     const double* proportional_spread, std::size_t bars,
                                     std::size_t securities, double pct_commissions,
                                     double bid_ask_spread_pct_slippage, double* commissions_out,
                                     double* slippage_out) {
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * securities;
    charge_row(change_in_positions_market_value + row, proportional_spread, securities, pct_commissions,
               bid_ask_spread_pct_slippage, commissions_out + row, slippage_out + row);
  }
}

void settle_after_costs(const SplitBooks& books, std::size_t bars, std::size_t securities,
                        double starting_equity, const SplitCurves& out) {
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * securities;
    out.total_pnl_after_transaction_costs[t] =
        net_row(books.positions.securities_pnl + row, books.commissions + row, books.slippage + row, securities,
                books.securities_pnl_after_transaction_costs + row);
  }
  finish_curves(books, bars, securities, starting_equity, out);
}

void account_split(const double* raw_positions, const double* close, const double* proportional_spread,
                   std::size_t bars, std::size_t securities, const AccountingSettings& settings,
                   const SplitBooks& books, const SplitCurves& curves) {
  const std::size_t n = securities;
  const PositionBooks& p = books.positions;
  Walker walker(n, settings.starting_equity, settings.pct_equity_invested,
                settings.scale_equity_to_traded_securities);
  for (std::size_t t = 0; t < bars; ++t) {
    const std::size_t row = t * n;
    const double* close_prev = t ? close + row - n : walker.zero_units.data();
    const double* units_prev = t ? p.positions + row - n : walker.zero_units.data();
    walker.bar(raw_positions + row, close + row, close_prev, units_prev, p.positions_market_value + row,
               p.positions + row, p.change_in_positions + row, p.change_in_positions_market_value + row,
               p.securities_pnl + row);
    charge_row(p.change_in_positions_market_value + row, proportional_spread, n, settings.pct_commissions,
               settings.bid_ask_spread_pct_slippage, books.commissions + row, books.slippage + row);
    curves.total_pnl_after_transaction_costs[t] = net_row(p.securities_pnl + row, books.commissions + row,
                                                          books.slippage + row, n,
                                                          books.securities_pnl_after_transaction_costs + row);
  }
  finish_curves(books, bars, n, settings.starting_equity, curves);
}

}  // namespace korvane::accounting

#pragma once
// Backtest accounting: one split's raw positions become units, market values,
// trades, profit and loss, commissions, slippage, an after-cost equity curve
// with a bankruptcy cut-off, and per-bar returns.
//
// Matrices are row-major (bars x securities), contiguous, oldest bar first.
// Sums over a row follow numpy's pairwise summation, and every other step
// keeps the operation order of the equivalent whole-array numpy expression,
// so results agree with a numpy implementation of the same rules bit for bit
// on ordinary inputs.
#include <cstddef>

namespace korvane::accounting {

// Sizing of one bar: the raw row (signed, any scale) becomes the market value
// to hold per security. Gross exposure is `equity * pct_equity_invested`,
// shrunk by the share of traded securities when `scale_to_traded` is set.
// The caller never passes a zero `total_abs_raw`.
void scale_positions_market_value(const double* raw_row, double total_abs_raw, const double* close_row,
                                  double equity, double pct_equity_invested, bool scale_to_traded,
                                  std::size_t n, double* market_value_out);

// Profit and loss of the units held since the previous bar; returns the
// equity after booking it. No costs enter the running equity.
double equity_after_pnl_change(const double* close_row, const double* previous_close_row,
                               const double* previous_units, double previous_equity, std::size_t n,
                               double* pnl_out);

// The five per-bar results of the bar-by-bar walk (each T x N, written fully).
struct PositionBooks {
  double* positions;                         // units held
  double* positions_market_value;            // units x close
  double* change_in_positions;               // units traded
  double* change_in_positions_market_value;  // units traded x close
  double* securities_pnl;                    // pnl before costs
};

// Walks one split bar by bar from a flat book and `starting_equity`: entry
// when the raw row turns non-zero, resizing to the running equity at every
// bar in position (nothing is held once it is below zero), exit when the row
// returns to zero.
void account_positions_and_equity(const double* raw_positions, const double* close, std::size_t bars,
                                  std::size_t securities, double starting_equity, double pct_equity_invested,
                                  bool scale_to_traded, const PositionBooks& out);

// Commission (a rate on absolute traded value) and slippage (each security's
// proportional spread estimate times the share paid) per bar and security.
void charge_commissions_and_slippage(const double* change_in_positions_market_value,
                                     const double* proportional_spread, std::size_t bars,
                                     std::size_t securities, double pct_commissions,
                                     double bid_ask_spread_pct_slippage, double* commissions_out,
                                     double* slippage_out);

// All matrices of a split; the after-cost step zeroes rows of every one of
// them after a bankruptcy.
struct SplitBooks {
  PositionBooks positions;
  double* commissions;
  double* slippage;
  double* securities_pnl_after_transaction_costs;
};

struct SplitCurves {
  double* total_pnl_after_transaction_costs;  // T
  double* equity_value;                       // T
  double* returns_after_transaction_costs;    // max(T - 1, 0)
  double* cumprod_returns_after_transaction_costs;  // max(T - 1, 0)
};

// Books the costs, sums each bar, builds the equity curve and applies the
// bankruptcy cut-off. The first bar whose equity is zero or less loses
// exactly the equity left before it (its return is -1, its equity 0), and its
// pnl, cost and after-cost rows shrink by one factor so that they add up to
// that loss; every later bar is wiped from the books (rows, totals and equity
// zero, return 0). A ruin on bar 0 is booked as the first return.
// Infinite returns (a loss or gain on a zero equity) saturate at the largest
// finite double; undefined ones (0/0) read 0.
void settle_after_costs(const SplitBooks& books, std::size_t bars, std::size_t securities,
                        double starting_equity, const SplitCurves& out);

struct AccountingSettings {
  double starting_equity;
  double pct_equity_invested;
  bool scale_equity_to_traded_securities;
  double pct_commissions;
  double bid_ask_spread_pct_slippage;
};

// The whole accounting of one split in a single pass over the bars, then the
// cut-off and returns. Same numbers as the three steps above run in turn.
void account_split(const double* raw_positions, const double* close, const double* proportional_spread,
                   std::size_t bars, std::size_t securities, const AccountingSettings& settings,
                   const SplitBooks& books, const SplitCurves& curves);

}  // namespace korvane::accounting

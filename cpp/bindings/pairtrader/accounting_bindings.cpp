// Accounting of one backtest split, exposed to the factor's Python side.
//
// `account_split` is the one the backtest run uses. The step functions below
// it exist so that each rule can be checked on its own; they are bound only
// in builds with KORVANE_TEST_HOOKS.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "argument_checks.hpp"
#include "binding_prelude.hpp"
#include "korvane/accounting.hpp"

namespace {

namespace acc = korvane::accounting;

using Matrix = Array<double>;
using Block = std::unique_ptr<double[]>;
using korvane::bind::require_columns;

// Memory of the twelve arrays of a split, reused across splits.
//
// A fresh multi-megabyte block costs a page fault per 4 KiB on first touch,
// which is more than the accounting itself; the optimiser accounts one split
// per trial, so the block of a finished trial's results is kept and handed to
// the next split that fits in it. At most two blocks (a run's train and test
// splits) and 128 MiB are kept.
class BlockCache {
 public:
  static BlockCache& instance() {
    // Never destroyed: arrays may outlive static destruction at exit.
    static BlockCache* cache = new BlockCache();
    return *cache;
  }

  Block take(std::size_t doubles, std::size_t& capacity) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto best = free_.end();
      for (auto it = free_.begin(); it != free_.end(); ++it) {
        if (it->capacity >= doubles && (best == free_.end() || it->capacity < best->capacity)) best = it;
      }
      if (best != free_.end()) {
        Block block = std::move(best->data);
        capacity = best->capacity;
        free_.erase(best);
        cached_ -= capacity;
        return block;
      }
    }
    capacity = doubles;
    return new_buffer<double>(doubles);
  }

  void give(Block data, std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back({std::move(data), capacity});
    cached_ += capacity;
    // Keep the largest blocks: they fit every smaller split.
    while (free_.size() > kMaxBlocks || cached_ > kMaxCachedDoubles) {
      auto smallest = std::min_element(free_.begin(), free_.end(),
                                       [](const Free& a, const Free& b) { return a.capacity < b.capacity; });
      cached_ -= smallest->capacity;
      free_.erase(smallest);
    }
  }

 private:
  struct Free {
    Block data;
    std::size_t capacity;
  };
  static constexpr std::size_t kMaxBlocks = 2;
  static constexpr std::size_t kMaxCachedDoubles = (std::size_t{128} << 20) / sizeof(double);
  std::mutex mutex_;
  std::vector<Free> free_;
  std::size_t cached_ = 0;
};

// The arrays of one split, carved from one cached block. A capsule owns the
// block and every array references it; the block returns to the cache when
// the last array is gone.
struct SplitArrays {
  std::size_t bars, securities;
  double* positions;
  double* positions_market_value;
  double* change_in_positions;
  double* change_in_positions_market_value;
  double* securities_pnl;
  double* commissions;
  double* slippage;
  double* securities_pnl_after_transaction_costs;
  double* total;
  double* equity;
  double* returns;
  double* cumprod;
  nb::capsule owner;

  struct Held {
    Block data;
    std::size_t capacity;
  };

  SplitArrays(std::size_t t, std::size_t n) : bars(t), securities(n) {
    // Each array starts on a 64-byte boundary of the block.
    const auto padded = [](std::size_t count) { return (count + 7) / 8 * 8; };
    const std::size_t cells = padded(t * n), curve = padded(t), step_curve = padded(steps());
    auto held = std::make_unique<Held>();
    held->data = BlockCache::instance().take(8 * cells + 2 * curve + 2 * step_curve + 8, held->capacity);
    double* block = held->data.get();
    owner = nb::capsule(held.get(), [](void* p) noexcept {
      std::unique_ptr<Held> done(static_cast<Held*>(p));
      BlockCache::instance().give(std::move(done->data), done->capacity);
    });
    held.release();
    const std::uintptr_t misalignment = reinterpret_cast<std::uintptr_t>(block) % 64;
    double* cursor = block + (misalignment ? (64 - misalignment) / sizeof(double) : 0);
    const auto carve = [&cursor](std::size_t count, std::initializer_list<double**> arrays) {
      for (double** array : arrays) {
        *array = cursor;
        cursor += count;
      }
    };
    carve(cells, {&positions, &positions_market_value, &change_in_positions, &change_in_positions_market_value,
                  &securities_pnl, &commissions, &slippage, &securities_pnl_after_transaction_costs});
    carve(curve, {&total, &equity});
    carve(step_curve, {&returns, &cumprod});
  }

  acc::PositionBooks position_books() const {
    return {positions, positions_market_value, change_in_positions, change_in_positions_market_value,
            securities_pnl};
  }
  acc::SplitBooks books() const {
    return {position_books(), commissions, slippage, securities_pnl_after_transaction_costs};
  }
  acc::SplitCurves curves() const { return {total, equity, returns, cumprod}; }

  Matrix matrix(double* p) const { return Matrix(p, {bars, securities}, owner); }
  Matrix vector(double* p, std::size_t len) const { return Matrix(p, {len}, owner); }
  // A split of zero or one bar has no returns.
  std::size_t steps() const { return bars > 0 ? bars - 1 : 0; }
};

void require_rows(const char* name, std::size_t rows, std::size_t bars) {
  if (rows < bars) {
    throw nb::value_error((std::string(name) + " has " + std::to_string(rows) + " rows, fewer than the " +
                           std::to_string(bars) + " bars of the split")
                              .c_str());
  }
}

std::size_t checked_bars(long long datetime_length) {
  if (datetime_length < 0) throw nb::value_error("datetime_length cannot be negative");
  return static_cast<std::size_t>(datetime_length);
}

// Returns the twelve arrays keyed by their Scorebook keyword names.
nb::dict account_split(const CMatrix& raw_positions, const CMatrix& close, const CVector& proportional_spread,
                       double starting_equity, double pct_equity_invested, bool scale_equity_to_traded_securities,
                       double pct_commissions, double bid_ask_spread_pct_slippage, long long datetime_length) {
  const std::size_t bars = checked_bars(datetime_length);
  const std::size_t n = raw_positions.shape(1);
  require_rows("raw_positions_matrix_mv", raw_positions.shape(0), bars);
  require_rows("close_columns_only_data_matrix_mv", close.shape(0), bars);
  require_columns("close_columns_only_data_matrix_mv", close.shape(1), n);
  if (proportional_spread.shape(0) < n) {
    throw nb::value_error("estimated_proportional_slippage_array has fewer entries than there are securities");
  }
  SplitArrays a(bars, n);
  const acc::AccountingSettings settings{starting_equity, pct_equity_invested, scale_equity_to_traded_securities,
                                         pct_commissions, bid_ask_spread_pct_slippage};
  {
    nb::gil_scoped_release release;
    acc::account_split(raw_positions.data(), close.data(), proportional_spread.data(), bars, n, settings,
                       a.books(), a.curves());
  }
  nb::dict d;
  d["positions_matrix_array"] = a.matrix(a.positions);
  d["positions_market_value_matrix_array"] = a.matrix(a.positions_market_value);
  d["change_in_positions_matrix_array"] = a.matrix(a.change_in_positions);
  d["change_in_positions_market_value_matrix_array"] = a.matrix(a.change_in_positions_market_value);
  d["securities_pnl_matrix_array"] = a.matrix(a.securities_pnl);
  d["commissions_matrix_array"] = a.matrix(a.commissions);
  d["slippage_matrix_array"] = a.matrix(a.slippage);
  d["securities_pnl_after_transaction_costs_matrix_array"] = a.matrix(a.securities_pnl_after_transaction_costs);
  d["total_pnl_after_transaction_costs_array"] = a.vector(a.total, bars);
  d["equity_value_array"] = a.vector(a.equity, bars);
  d["returns_after_transaction_costs_array"] = a.vector(a.returns, a.steps());
  d["cumprod_returns_after_transaction_costs_array"] = a.vector(a.cumprod, a.steps());
  return d;
}

#ifdef KORVANE_TEST_HOOKS
Matrix scale_positions_market_value(const CVector& raw_row, double total_abs_raw, const CVector& close_row,
                                    double equity, double pct_equity_invested, bool scale_to_traded) {
  const std::size_t n = raw_row.shape(0);
  if (close_row.shape(0) != n) throw nb::value_error("close prices and raw positions differ in length");
  Block out = new_buffer<double>(n);
  acc::scale_positions_market_value(raw_row.data(), total_abs_raw, close_row.data(), equity, pct_equity_invested,
                                    scale_to_traded, n, out.get());
  return owned_array(std::move(out), {n});
}

nb::tuple equity_after_pnl_change(const CVector& close_row, const CVector& previous_close_row,
                                  const CVector& previous_units, double previous_equity) {
  const std::size_t n = close_row.shape(0);
  if (previous_close_row.shape(0) != n || previous_units.shape(0) != n) {
    throw nb::value_error("close prices and positions differ in length");
  }
  Block pnl = new_buffer<double>(n);
  const double equity =
      acc::equity_after_pnl_change(close_row.data(), previous_close_row.data(), previous_units.data(),
                                   previous_equity, n, pnl.get());
  return nb::make_tuple(owned_array(std::move(pnl), {n}), equity);
}

nb::tuple account_positions_and_equity(double starting_equity, double pct_equity_invested,
                                       const CMatrix& raw_positions, const CMatrix& close, long long datetime_length,
                                       bool scale_to_traded) {
  const std::size_t bars = checked_bars(datetime_length);
  const std::size_t n = raw_positions.shape(1);
  require_rows("raw_positions_matrix_mv", raw_positions.shape(0), bars);
  require_rows("close_columns_only_data_matrix_mv", close.shape(0), bars);
  require_columns("close_columns_only_data_matrix_mv", close.shape(1), n);
  const std::size_t cells = bars * n;
  Block p[5];
  for (Block& q : p) q = new_buffer<double>(cells);
  acc::account_positions_and_equity(raw_positions.data(), close.data(), bars, n, starting_equity,
                                    pct_equity_invested, scale_to_traded,
                                    {p[0].get(), p[1].get(), p[2].get(), p[3].get(), p[4].get()});
  const auto matrix = [bars, n](Block& q) { return owned_array(std::move(q), {bars, n}); };
  return nb::make_tuple(matrix(p[0]), matrix(p[1]), matrix(p[2]), matrix(p[3]), matrix(p[4]));
}

nb::tuple charge_commissions_and_slippage(const CMatrix& change_in_positions_market_value,
                                          const CVector& proportional_spread, double pct_commissions,
                                          double bid_ask_spread_pct_slippage) {
  const std::size_t bars = change_in_positions_market_value.shape(0);
  const std::size_t n = change_in_positions_market_value.shape(1);
  if (proportional_spread.shape(0) < n) {
    throw nb::value_error("estimated_proportional_slippage_array has fewer entries than there are securities");
  }
  Block commissions = new_buffer<double>(bars * n), slippage = new_buffer<double>(bars * n);
  acc::charge_commissions_and_slippage(change_in_positions_market_value.data(), proportional_spread.data(), bars, n,
                                       pct_commissions, bid_ask_spread_pct_slippage, commissions.get(), slippage.get());
  return nb::make_tuple(owned_array(std::move(commissions), {bars, n}), owned_array(std::move(slippage), {bars, n}));
}

// Works on copies of the seven matrices and returns the twelve arrays in the
// order: pnl after costs, total, equity, returns, cumulative product,
// commissions, slippage, pnl, positions, market value, change, change value.
nb::tuple settle_after_costs(const CMatrix& securities_pnl, const CMatrix& positions,
                             const CMatrix& positions_market_value, const CMatrix& change_in_positions,
                             const CMatrix& change_in_positions_market_value, const CMatrix& commissions,
                             const CMatrix& slippage, double starting_equity, long long datetime_length) {
  const std::size_t bars = checked_bars(datetime_length);
  const std::size_t n = securities_pnl.shape(1);
  const CMatrix* inputs[] = {&positions, &positions_market_value, &change_in_positions,
                             &change_in_positions_market_value, &securities_pnl, &commissions, &slippage};
  const char* names[] = {"positions", "positions_market_value", "change_in_positions",
                         "change_in_positions_market_value", "securities_pnl", "commissions", "slippage"};
  for (std::size_t k = 0; k < 7; ++k) {
    require_rows(names[k], inputs[k]->shape(0), bars);
    require_columns(names[k], inputs[k]->shape(1), n);
  }
  SplitArrays a(bars, n);
  double* copies[] = {a.positions, a.positions_market_value, a.change_in_positions,
                      a.change_in_positions_market_value, a.securities_pnl, a.commissions, a.slippage};
  for (std::size_t k = 0; k < 7; ++k) std::memcpy(copies[k], inputs[k]->data(), bars * n * sizeof(double));
  acc::settle_after_costs(a.books(), bars, n, starting_equity, a.curves());
  return nb::make_tuple(a.matrix(a.securities_pnl_after_transaction_costs), a.vector(a.total, bars),
                        a.vector(a.equity, bars), a.vector(a.returns, a.steps()), a.vector(a.cumprod, a.steps()),
                        a.matrix(a.commissions), a.matrix(a.slippage), a.matrix(a.securities_pnl),
                        a.matrix(a.positions), a.matrix(a.positions_market_value), a.matrix(a.change_in_positions),
                        a.matrix(a.change_in_positions_market_value));
}
#endif  // KORVANE_TEST_HOOKS

}  // namespace

void bind_accounting(nb::module_& m) {
  m.def("account_split", &account_split, "raw_positions"_a, "close"_a, "proportional_spread"_a,
        "starting_equity"_a, "pct_equity_invested"_a, "scale_equity_to_traded_securities"_a, "pct_commissions"_a,
        "bid_ask_spread_pct_slippage"_a, "datetime_length"_a,
        "Accounting of one backtest split: the twelve computed arrays of the results, keyed by name.");
#ifdef KORVANE_TEST_HOOKS
  m.def("scale_positions_market_value", &scale_positions_market_value, "raw_row"_a, "total_abs_raw"_a,
        "close_row"_a, "equity"_a, "pct_equity_invested"_a, "scale_equity_to_traded_securities"_a);
  m.def("equity_after_pnl_change", &equity_after_pnl_change, "close_row"_a, "previous_close_row"_a,
        "previous_units"_a, "previous_equity"_a);
  m.def("account_positions_and_equity", &account_positions_and_equity, "starting_equity"_a,
        "pct_equity_invested"_a, "raw_positions"_a, "close"_a, "datetime_length"_a,
        "scale_equity_to_traded_securities"_a);
  m.def("charge_commissions_and_slippage", &charge_commissions_and_slippage, "change_in_positions_market_value"_a,
        "proportional_spread"_a, "pct_commissions"_a, "bid_ask_spread_pct_slippage"_a);
  m.def("settle_after_costs", &settle_after_costs, "securities_pnl"_a, "positions"_a, "positions_market_value"_a,
        "change_in_positions"_a, "change_in_positions_market_value"_a, "commissions"_a, "slippage"_a,
        "starting_equity"_a, "datetime_length"_a);
#endif  // KORVANE_TEST_HOOKS
}

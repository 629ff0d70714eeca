// The per-pair engine of the factor's backtest loop, as a Python object that
// holds the struct-of-arrays pair state between a run and later live steps.
//
// Calls out at entries (feature generator, classifier gate) go through a
// Python callable wrapped as the core's EntryHook. Without one, a run holds no
// reference to the interpreter and releases its lock.
//
// An engine serves one call at a time. A run without hooks releases the
// interpreter's lock, and a run with hooks lets other threads in whenever it
// calls back into Python, so a second thread could otherwise step, reset or
// drain the same per-pair state in the middle of a run.
//
// Parameters and intervals arrive as the EngineParams and Intervals classes of
// korvane._kernels, taken by value: the engine keeps its own copy while it
// runs without the interpreter's lock.
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "argument_checks.hpp"
#include "binding_prelude.hpp"
#include "korvane/pair_engine.hpp"

namespace {

namespace eng = korvane::engine;
using korvane::bind::check_intervals;
using korvane::bind::refuse;
using korvane::bind::require_at_least;
using korvane::bind::require_columns;
using korvane::bind::require_indices;
using korvane::bind::require_length;

class PythonEntryHook final : public eng::EntryHook {
 public:
  explicit PythonEntryHook(nb::handle callable) : callable_(callable) {}
  eng::EntryDecision on_entry(int64_t pair, int64_t bar, double h1, double h2) override {
    nb::object answer = callable_(pair, bar, h1, h2);
    nb::tuple t;
    eng::EntryDecision d;
    if (!nb::try_cast(answer, t) || t.size() != 2 || !nb::try_cast(t[0], d.refused) ||
        !nb::try_cast(t[1], d.features_token))
      throw nb::type_error("the entry hook must return (refused, features_token): a bool and a 64-bit integer");
    return d;
  }

 private:
  nb::handle callable_;
};

// Estimators substituted by the caller: two Python callables,
// hedge_ratios(log_close_1, log_close_2, bars_per_day) -> (h1, h2, verdict)
// and halflife(spread) -> int, each given fresh float64 arrays.
class PythonEstimationHook final : public eng::EstimationHook {
 public:
  PythonEstimationHook(nb::handle hedge, nb::handle halflife) : hedge_(hedge), halflife_(halflife) {}
  korvane::johansen::HedgeRatios hedge_ratios(const double* l1, const double* l2, int64_t window,
                                              int64_t bars_per_day) override {
    nb::object answer = hedge_(copy(l1, window), copy(l2, window), bars_per_day);
    nb::tuple t;
    double h1 = 0.0, h2 = 0.0;
    if (!nb::try_cast(answer, t) || t.size() != 3 || !nb::try_cast(t[0], h1) || !nb::try_cast(t[1], h2))
      throw nb::type_error("the hedge ratio estimator must return (h1, h2, verdict)");
    const int verdict = PyObject_IsTrue(t[2].ptr());
    if (verdict < 0) throw nb::python_error();
    return {h1, h2, verdict == 1};
  }
  int64_t halflife(const double* spread, int64_t window) override {
    int64_t bars = 0;
    if (!nb::try_cast(halflife_(copy(spread, window)), bars))
      throw nb::type_error("the half-life estimator must return a 64-bit integer");
    return bars;
  }

 private:
  static Array<double> copy(const double* v, int64_t n) { return array_copy(v, {static_cast<size_t>(n)}); }
  nb::handle hedge_, halflife_;
};

// Sets the engine's substituted estimators for the length of one call.
struct EstimationScope {
  eng::PairEngine& engine;
  std::unique_ptr<PythonEstimationHook> hook;
  EstimationScope(eng::PairEngine& e, const nb::object& estimators) : engine(e) {
    if (estimators.is_none()) return;
    nb::tuple t = nb::cast<nb::tuple>(estimators);
    if (t.size() != 2) throw std::invalid_argument("estimators must be (hedge_ratios, halflife)");
    hook = std::make_unique<PythonEstimationHook>(t[0], t[1]);
    engine.estimation = hook.get();
  }
  ~EstimationScope() { engine.estimation = nullptr; }
  bool active() const { return hook != nullptr; }
};

korvane::johansen::CriticalValues critical_from(const nb::tuple& t) {
  if (t.size() != 2) throw std::invalid_argument("critical values must hold 2 floats");
  return {nb::cast<double>(t[0]), nb::cast<double>(t[1])};
}

// The caller's security layout, copied before it is checked: the checks and
// every read after them see this copy. An entry hook, or another thread while
// a run has let go of the interpreter's lock, may write to the caller's
// arrays at any bar; an index read from them again could then lie past its
// check.
struct SecurityLayout {
  std::vector<int64_t> close_columns, position_index;

  // Each security's close column within the `columns` of the bars, its column
  // in the `width` of the positions, and each pair's legs among the
  // securities.
  void take(const eng::PairEngine& e, const CInt64Vector& close_columns_given,
            const CInt64Vector& position_index_given, int64_t columns, int64_t width) {
    const size_t n = close_columns_given.shape(0);
    require_length("position_index", position_index_given.shape(0), n, "security of close_columns");
    close_columns.assign(close_columns_given.data(), close_columns_given.data() + n);
    position_index.assign(position_index_given.data(), position_index_given.data() + n);
    require_indices("close_columns", close_columns.data(), n, columns, "columns of the bars");
    require_indices("position_index", position_index.data(), n, width, "columns of the positions");
    require_indices("the engine's first legs", e.first().data(), e.pairs(), static_cast<int64_t>(n),
                    "securities of close_columns");
    require_indices("the engine's second legs", e.second().data(), e.pairs(), static_cast<int64_t>(n),
                    "securities of close_columns");
  }
  int64_t securities() const { return static_cast<int64_t>(close_columns.size()); }
};

// The pairs' legs, copied and then checked before the engine is built: a leg
// is a security's index, which the calls that run the engine check against
// their securities.
eng::PairEngine engine_of(const CInt64Vector& first, const CInt64Vector& second) {
  const size_t pairs = first.shape(0);
  require_length("second", second.shape(0), pairs, "pair of first");
  std::vector<int64_t> a(first.data(), first.data() + pairs), b(second.data(), second.data() + pairs);
  for (size_t k = 0; k < pairs; ++k) {
    require_at_least("first", a[k], 0);
    require_at_least("second", b[k], 0);
  }
  return eng::PairEngine(std::move(a), std::move(b));
}

// Holds an engine for the length of one call. A call from another thread
// waits, without the interpreter's lock, so that the running call can still
// call back into Python; a call made from inside the running one (a hook
// calling back into its own engine) would wait for itself and is refused.
class ExclusiveUse {
 public:
  ExclusiveUse(std::mutex& busy, std::atomic<std::thread::id>& owner) : busy_(busy), owner_(owner) {
    if (owner_.load() == std::this_thread::get_id())
      throw std::runtime_error("PairEngine is busy: a hook cannot call back into the engine that is running it");
    if (!busy_.try_lock()) {
      nb::gil_scoped_release release;
      busy_.lock();
    }
    owner_.store(std::this_thread::get_id());
  }
  ~ExclusiveUse() {
    owner_.store(std::thread::id());
    busy_.unlock();
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  std::mutex& busy_;
  std::atomic<std::thread::id>& owner_;
};

struct Engine {
  eng::PairEngine core;
  std::vector<double> logs;
  std::vector<const double*> series;
  std::vector<double> last_close;
  SecurityLayout layout;
  mutable std::mutex busy;
  mutable std::atomic<std::thread::id> owner{};

  ExclusiveUse use() const { return ExclusiveUse(busy, owner); }

  Engine(CInt64Vector first, CInt64Vector second) : core(engine_of(first, second)) {}

  void run(AnyMatrix data, CInt64Vector close_columns, CInt64Vector position_index,
           CInt64Vector times, int64_t window, eng::Intervals iv, eng::Params p,
           nb::tuple critical, OutMatrix positions, nb::object hook, nb::object estimators) {
    const ExclusiveUse held = use();
    const int64_t rows = static_cast<int64_t>(data.shape(0));
    // The core steps through the positions a row of one column per security.
    require_length("positions", positions.shape(0), data.shape(0), "row of data");
    require_length("times", times.shape(0), data.shape(0), "row of data");
    require_columns("positions", positions.shape(1), close_columns.shape(0), "security of close_columns");
    layout.take(core, close_columns, position_index, static_cast<int64_t>(data.shape(1)),
                static_cast<int64_t>(positions.shape(1)));
    require_at_least("window", window, 1);
    check_intervals(iv);
    const auto crit = critical_from(critical);
    const int64_t rs = static_cast<int64_t>(data.stride(0)), cs = static_cast<int64_t>(data.stride(1));
    EstimationScope scope(core, estimators);
    if (hook.is_none() && !scope.active()) {
      nb::gil_scoped_release release;
      core.run(data.data(), rows, rs, cs, layout.close_columns.data(), layout.securities(),
               layout.position_index.data(), window, times.data(), positions.data(), iv, p, crit, nullptr);
    } else {
      PythonEntryHook h(hook);
      core.run(data.data(), rows, rs, cs, layout.close_columns.data(), layout.securities(),
               layout.position_index.data(), window, times.data(), positions.data(), iv, p, crit,
               hook.is_none() ? nullptr : &h);
    }
  }

  void step(AnyMatrix window, CInt64Vector close_columns, CInt64Vector position_index, int64_t time,
            eng::Intervals iv, eng::Params p, nb::tuple critical, OutVector row,
            nb::object hook, nb::object estimators) {
    const ExclusiveUse held = use();
    const int64_t rows = static_cast<int64_t>(window.shape(0));
    if (rows < 1) refuse("window", "holds no rows");
    layout.take(core, close_columns, position_index, static_cast<int64_t>(window.shape(1)),
                static_cast<int64_t>(row.shape(0)));
    check_intervals(iv);
    const auto crit = critical_from(critical);
    korvane::engine::window_log_closes(window.data(), rows, static_cast<int64_t>(window.stride(0)),
                                       static_cast<int64_t>(window.stride(1)), layout.close_columns.data(),
                                       layout.securities(), logs, series, last_close);
    EstimationScope scope(core, estimators);
    if (hook.is_none()) {
      core.step(series.data(), last_close.data(), rows, layout.position_index.data(), row.data(), time,
                -1, iv, p, crit, nullptr);
    } else {
      PythonEntryHook h(hook);
      core.step(series.data(), last_close.data(), rows, layout.position_index.data(), row.data(), time,
                -1, iv, p, crit, &h);
    }
  }

  void reset() {
    const ExclusiveUse held = use();
    core.reset();
  }

  nb::tuple take_closed_trades() {
    const ExclusiveUse held = use();
    const eng::ClosedTradeColumns c = eng::columns_of(core.closed);
    core.closed.clear();
    return nb::make_tuple(array_copy(c.pair), array_copy(c.entry_time), array_copy(c.exit_time),
                          array_copy(c.label), array_copy(c.returns), array_copy(c.features_token));
  }

  nb::dict state() const {
    const ExclusiveUse held = use();
    const auto& s = core.state;
    std::vector<double> tp, sl, ts, ev, es;
    std::vector<int64_t> bc;
    for (const auto& b : s.barrier) {
      tp.push_back(b.take_profit);
      sl.push_back(b.stop_loss);
      ts.push_back(b.time_stop);
      ev.push_back(b.entry_value);
      es.push_back(b.entry_std);
      bc.push_back(b.adjustment_countdown);
    }
    nb::dict d;
    d["hedge_ratio_1"] = array_copy(s.h1);
    d["hedge_ratio_2"] = array_copy(s.h2);
    d["is_cointegrated"] = array_copy(s.is_cointegrated);
    d["halflife"] = array_copy(s.halflife);
    d["spread_position"] = array_copy(s.position);
    d["reestimation_countdown"] = array_copy(s.reestimation_countdown);
    d["take_profit"] = array_copy(tp);
    d["stop_loss"] = array_copy(sl);
    d["time_stop"] = array_copy(ts);
    d["entry_value"] = array_copy(ev);
    d["entry_std"] = array_copy(es);
    d["barrier_countdown"] = array_copy(bc);
    d["refused"] = array_copy(s.refused);
    return d;
  }
};

}  // namespace

void bind_pair_engine(nb::module_& m) {
  nb::class_<Engine>(m, "PairEngine",
                     "Per-pair state of the backtest (struct of arrays over pairs) and its loop")
      .def(nb::init<CInt64Vector, CInt64Vector>(), "first"_a, "second"_a)
      .def_prop_ro("pairs", [](const Engine& e) { return e.core.pairs(); })
      .def("reset", &Engine::reset)
      .def("run", &Engine::run, "data"_a, "close_columns"_a, "position_index"_a, "times"_a,
           "window"_a, "intervals"_a, "params"_a, "critical"_a, "positions"_a.noconvert(), "hook"_a.none(),
           "estimators"_a.none() = nb::none())
      .def("step", &Engine::step, "window"_a, "close_columns"_a, "position_index"_a, "time"_a,
           "intervals"_a, "params"_a, "critical"_a, "row"_a.noconvert(), "hook"_a.none(),
           "estimators"_a.none() = nb::none())
      .def("take_closed_trades", &Engine::take_closed_trades)
      .def("state", &Engine::state);
}

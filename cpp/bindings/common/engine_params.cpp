#include "engine_params.hpp"

#include <utility>

#include "binding_prelude.hpp"
#include "interpreter_float.hpp"
#include "unraisable.hpp"

namespace korvane::bind {

namespace {

using engine::Intervals;
using engine::Params;
using barrier::Settings;

// The keyword names of the parameter dict, in reading order: the entry and
// z-score settings, the volatility multiplier, then the barrier settings.
const std::pair<const char*, double Params::*> kEntryKeys[] = {
    {"zscore_halflife_multiplier", &Params::zscore_halflife_multiplier},
    {"starting_sd_for_position_entry", &Params::starting_sd_for_position_entry},
};
constexpr const char* kVolatilityKey = "rolling_volatility_halflife_multiplier";
const std::pair<const char*, double Settings::*> kBarrierKeys[] = {
    {"take_profit_std_multiplier", &Settings::take_profit_std_multiplier},
    {"take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry",
     &Settings::take_profit_sensitivity_at_entry},
    {"take_profit_current_volatility_multiplier_sensitivity_at_adjustment",
     &Settings::take_profit_sensitivity_at_adjustment},
    {"stop_loss_std_multiplier", &Settings::stop_loss_std_multiplier},
    {"stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry",
     &Settings::stop_loss_sensitivity_at_entry},
    {"stop_loss_current_volatility_multiplier_sensitivity_at_adjustment",
     &Settings::stop_loss_sensitivity_at_adjustment},
    {"time_stop_halflife_multiplier", &Settings::time_stop_halflife_multiplier},
    {"time_stop_adjustment_sensitivity", &Settings::time_stop_adjustment_sensitivity},
};

double float_at(nb::handle params, const char* key) {
  nb::object value = nb::steal(PyObject_GetItem(params.ptr(), nb::str(key).ptr()));
  if (!value.is_valid()) throw nb::python_error();
  return interpreter_float(value.ptr());
}

nb::tuple parameter_keys() {
  nb::list keys;
  for (const auto& entry : kEntryKeys) keys.append(entry.first);
  keys.append(kVolatilityKey);
  for (const auto& entry : kBarrierKeys) keys.append(entry.first);
  return nb::tuple(keys);
}

}  // namespace

Settings barrier_settings_from(nb::handle params) {
  Settings s;
  for (const auto& [key, field] : kBarrierKeys) s.*field = float_at(params, key);
  return s;
}

Params engine_params_from(nb::handle params, nb::handle missing_volatility_context) {
  Params p;
  for (const auto& [key, field] : kEntryKeys) p.*field = float_at(params, key);
  const nb::str volatility_key(kVolatilityKey);
  const int present = PySequence_Contains(params.ptr(), volatility_key.ptr());
  if (present < 0) throw nb::python_error();
  p.volatility_multiplier_available = present == 1;
  if (p.volatility_multiplier_available) {
    p.rolling_volatility_halflife_multiplier = float_at(params, kVolatilityKey);
  } else if (!missing_volatility_context.is_none()) {
    write_unraisable(nb::handle(PyExc_KeyError)(volatility_key), missing_volatility_context);
  }
  p.barrier = barrier_settings_from(params);
  return p;
}

void bind_engine_params(nb::module_& m) {
  nb::class_<Settings>(m, "BarrierSettings", "Take-profit, stop-loss and time-stop settings of the triple barrier")
      .def(
          "__init__",
          [](Settings* s, double take_profit_std_multiplier, double take_profit_sensitivity_at_entry,
             double take_profit_sensitivity_at_adjustment, double stop_loss_std_multiplier,
             double stop_loss_sensitivity_at_entry, double stop_loss_sensitivity_at_adjustment,
             double time_stop_halflife_multiplier, double time_stop_adjustment_sensitivity) {
            new (s) Settings();
            s->take_profit_std_multiplier = take_profit_std_multiplier;
            s->take_profit_sensitivity_at_entry = take_profit_sensitivity_at_entry;
            s->take_profit_sensitivity_at_adjustment = take_profit_sensitivity_at_adjustment;
            s->stop_loss_std_multiplier = stop_loss_std_multiplier;
            s->stop_loss_sensitivity_at_entry = stop_loss_sensitivity_at_entry;
            s->stop_loss_sensitivity_at_adjustment = stop_loss_sensitivity_at_adjustment;
            s->time_stop_halflife_multiplier = time_stop_halflife_multiplier;
            s->time_stop_adjustment_sensitivity = time_stop_adjustment_sensitivity;
          },
          nb::kw_only(), "take_profit_std_multiplier"_a = 0.0, "take_profit_sensitivity_at_entry"_a = 0.0,
          "take_profit_sensitivity_at_adjustment"_a = 0.0, "stop_loss_std_multiplier"_a = 0.0,
          "stop_loss_sensitivity_at_entry"_a = 0.0, "stop_loss_sensitivity_at_adjustment"_a = 0.0,
          "time_stop_halflife_multiplier"_a = 0.0, "time_stop_adjustment_sensitivity"_a = 0.0)
      .def_rw("take_profit_std_multiplier", &Settings::take_profit_std_multiplier)
      .def_rw("take_profit_sensitivity_at_entry", &Settings::take_profit_sensitivity_at_entry)
      .def_rw("take_profit_sensitivity_at_adjustment", &Settings::take_profit_sensitivity_at_adjustment)
      .def_rw("stop_loss_std_multiplier", &Settings::stop_loss_std_multiplier)
      .def_rw("stop_loss_sensitivity_at_entry", &Settings::stop_loss_sensitivity_at_entry)
      .def_rw("stop_loss_sensitivity_at_adjustment", &Settings::stop_loss_sensitivity_at_adjustment)
      .def_rw("time_stop_halflife_multiplier", &Settings::time_stop_halflife_multiplier)
      .def_rw("time_stop_adjustment_sensitivity", &Settings::time_stop_adjustment_sensitivity);

  nb::class_<Params>(m, "EngineParams", "The strategy parameters the pair engine reads per bar")
      .def(
          "__init__",
          [](Params* p, double zscore_halflife_multiplier, double starting_sd_for_position_entry,
             double rolling_volatility_halflife_multiplier, bool volatility_multiplier_available,
             const Settings& barrier) {
            new (p) Params();
            p->zscore_halflife_multiplier = zscore_halflife_multiplier;
            p->starting_sd_for_position_entry = starting_sd_for_position_entry;
            p->rolling_volatility_halflife_multiplier = rolling_volatility_halflife_multiplier;
            p->volatility_multiplier_available = volatility_multiplier_available;
            p->barrier = barrier;
          },
          nb::kw_only(), "zscore_halflife_multiplier"_a = 0.0, "starting_sd_for_position_entry"_a = 0.0,
          "rolling_volatility_halflife_multiplier"_a = 0.0, "volatility_multiplier_available"_a = true,
          "barrier"_a = Settings())
      .def_rw("zscore_halflife_multiplier", &Params::zscore_halflife_multiplier)
      .def_rw("starting_sd_for_position_entry", &Params::starting_sd_for_position_entry)
      .def_rw("rolling_volatility_halflife_multiplier", &Params::rolling_volatility_halflife_multiplier)
      .def_rw("volatility_multiplier_available", &Params::volatility_multiplier_available)
      .def_rw("barrier", &Params::barrier);

  nb::class_<Intervals>(m, "Intervals", "Bars per trading day of the three countdowns, and the z-score window bounds")
      .def(
          "__init__",
          [](Intervals* iv, int64_t new_spread_update, int64_t johansen_resampling, int64_t triple_barrier_update,
             int64_t max_zscore_window, int64_t min_zscore_window) {
            new (iv) Intervals();
            iv->new_spread_update = new_spread_update;
            iv->johansen_resampling = johansen_resampling;
            iv->triple_barrier_update = triple_barrier_update;
            iv->max_zscore_window = max_zscore_window;
            iv->min_zscore_window = min_zscore_window;
          },
          nb::kw_only(), "new_spread_update"_a = 1, "johansen_resampling"_a = 1, "triple_barrier_update"_a = 1,
          "max_zscore_window"_a = 0, "min_zscore_window"_a = 30)
      .def_rw("new_spread_update", &Intervals::new_spread_update)
      .def_rw("johansen_resampling", &Intervals::johansen_resampling)
      .def_rw("triple_barrier_update", &Intervals::triple_barrier_update)
      .def_rw("max_zscore_window", &Intervals::max_zscore_window)
      .def_rw("min_zscore_window", &Intervals::min_zscore_window);

  m.attr("ENGINE_PARAMETER_KEYS") = parameter_keys();
  m.def("engine_params", &engine_params_from, "params"_a, "missing_volatility_context"_a = nb::none(),
        "The engine parameters read from a parameter dict by their keyword names (see ENGINE_PARAMETER_KEYS).");
}

}  // namespace korvane::bind

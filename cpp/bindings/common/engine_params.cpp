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

template <typename T, typename V>
std::pair<const char*, V T::*> field(const char* name, V T::*member) {
  return {name, member};
}

// Binds the plain struct T as a class with one read-write attribute per
// field and an __init__ taking every field as a keyword argument, defaulting
// to the struct's own initial values.
template <typename T, typename... V>
void bind_record(nb::module_& m, const char* name, const char* doc, std::pair<const char*, V T::*>... fields) {
  const T defaults{};
  nb::class_<T> record(m, name, doc);
  record.def(
      "__init__",
      [fields...](T* self, V... values) {
        new (self) T{};
        ((self->*(fields.second) = values), ...);
      },
      nb::kw_only(), (nb::arg(fields.first) = defaults.*(fields.second))...);
  (record.def_rw(fields.first, fields.second), ...);
}

nb::tuple parameter_keys() {
  nb::list keys;
  for (const auto& entry : kEntryKeys) keys.append(entry.first);
  keys.append(kVolatilityKey);
  for (const auto& entry : kBarrierKeys) keys.append(entry.first);
  return nb::tuple(keys);
}

}  // namespace

double float_at(nb::handle params, const char* key) {
  nb::object value = nb::steal(PyObject_GetItem(params.ptr(), nb::str(key).ptr()));
  if (!value.is_valid()) throw nb::python_error();
  return interpreter_float(value.ptr());
}

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
  bind_record<Settings>(
      m, "BarrierSettings", "Take-profit, stop-loss and time-stop settings of the triple barrier",
      field("take_profit_std_multiplier", &Settings::take_profit_std_multiplier),
      field("take_profit_sensitivity_at_entry", &Settings::take_profit_sensitivity_at_entry),
      field("take_profit_sensitivity_at_adjustment", &Settings::take_profit_sensitivity_at_adjustment),
      field("stop_loss_std_multiplier", &Settings::stop_loss_std_multiplier),
      field("stop_loss_sensitivity_at_entry", &Settings::stop_loss_sensitivity_at_entry),
      field("stop_loss_sensitivity_at_adjustment", &Settings::stop_loss_sensitivity_at_adjustment),
      field("time_stop_halflife_multiplier", &Settings::time_stop_halflife_multiplier),
      field("time_stop_adjustment_sensitivity", &Settings::time_stop_adjustment_sensitivity));
  bind_record<Params>(
      m, "EngineParams", "The strategy parameters the pair engine reads per bar",
      field("zscore_halflife_multiplier", &Params::zscore_halflife_multiplier),
      field("starting_sd_for_position_entry", &Params::starting_sd_for_position_entry),
      field("rolling_volatility_halflife_multiplier", &Params::rolling_volatility_halflife_multiplier),
      field("volatility_multiplier_available", &Params::volatility_multiplier_available),
      field("barrier", &Params::barrier));
  bind_record<Intervals>(
      m, "Intervals", "Bars per trading day of the three countdowns, and the z-score window bounds",
      field("new_spread_update", &Intervals::new_spread_update),
      field("johansen_resampling", &Intervals::johansen_resampling),
      field("triple_barrier_update", &Intervals::triple_barrier_update),
      field("max_zscore_window", &Intervals::max_zscore_window),
      field("min_zscore_window", &Intervals::min_zscore_window));

  m.attr("ENGINE_PARAMETER_KEYS") = parameter_keys();
  m.def("engine_params", &engine_params_from, "params"_a, "missing_volatility_context"_a = nb::none(),
        "The engine parameters read from a parameter dict by their keyword names (see ENGINE_PARAMETER_KEYS).");
}

}  // namespace korvane::bind

#pragma once
// The strategy parameters and the fixed intervals of the pair engine as they
// cross from Python: bound classes with named keyword fields, and the one
// reading of a parameter dict into them.
#include <nanobind/nanobind.h>

#include "korvane/pair_engine.hpp"

namespace korvane::bind {

// float(params[key]): KeyError(key) when missing, float()'s own error for a
// value it refuses.
double float_at(nanobind::handle params, const char* key);

// The eight barrier settings, read from `params` by their keyword names.
barrier::Settings barrier_settings_from(nanobind::handle params);

// Every engine parameter read as float(params[key]), in the order of
// ENGINE_PARAMETER_KEYS, so that a missing key raises KeyError(key) and a
// value float() refuses raises float()'s own error. Without a volatility
// multiplier the parameters say so (the multiplier is then 0 and the run goes
// on); when `missing_volatility_context` is not None, the KeyError is first
// reported through the unraisable hook, naming that context.
engine::Params engine_params_from(nanobind::handle params, nanobind::handle missing_volatility_context);

// EngineParams, BarrierSettings and Intervals, the tuple ENGINE_PARAMETER_KEYS
// and engine_params(params, missing_volatility_context=None).
void bind_engine_params(nanobind::module_& m);

}  // namespace korvane::bind

// korvane.rarAV._signalforge: the native arithmetic of the sample weights.
#include "binding_prelude.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include <nanobind/stl/optional.h>

#include "korvane/sample_uniqueness.hpp"

namespace {

using Weights = Array<double>;

Weights uniqueness_of(CInt64Vector index, CInt64Vector starts, CInt64Vector ends) {
  const size_t n = starts.shape(0);
  if (ends.shape(0) < n)
    throw nb::index_error("training_samples_end_datetime_array has fewer entries than "
                          "training_samples_start_datetime_array");
  std::unique_ptr<double[]> out = new_buffer<double>(n);
  {
    nb::gil_scoped_release release;
    korvane::sample_uniqueness(index.data(), index.shape(0), starts.data(), ends.data(), n, out.get());
  }
  return owned_array(std::move(out), {n});
}

Weights weights_of(CVector uniqueness, std::optional<CVector> impacts) {
  const size_t n = uniqueness.shape(0);
  if (impacts && impacts->shape(0) != n)
    throw nb::value_error("training_samples_impact_array must be empty or hold one impact per sample");
  std::unique_ptr<double[]> out = new_buffer<double>(n);
  korvane::normalise_sample_weights(uniqueness.data(), impacts ? impacts->data() : nullptr, n, out.get());
  return owned_array(std::move(out), {n});
}

}  // namespace

NB_MODULE(_signalforge, m) {
  set_exit_leak_report();
  m.doc() = "Native sample-uniqueness weights of korvane.rarAV.signalforge";
  m.def("sample_uniqueness", &uniqueness_of, "index"_a, "starts"_a, "ends"_a,
        "Average uniqueness of each sample's inclusive label span over the ascending bar times.");
  m.def("normalise_sample_weights", &weights_of, "uniqueness"_a, "impacts"_a = nb::none(),
        "Uniqueness (or |impact| / uniqueness) scaled to sum to the number of samples.");
}

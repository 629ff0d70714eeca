// Native core of the pairs-trading factor: the per-pair engine and the
// bar-by-bar accounting.
#include "binding_prelude.hpp"

void bind_accounting(nb::module_& m);
void bind_resample(nb::module_& m);
void bind_pair_engine(nb::module_& m);

NB_MODULE(_pairtrader, m) {
  set_exit_leak_report();
  m.doc() = "Native engine and accounting of the pairs-trading factor";
  // The engine takes korvane._kernels' EngineParams and Intervals.
  nb::module_::import_("korvane._kernels");
  bind_accounting(m);
  bind_resample(m);
  bind_pair_engine(m);
}

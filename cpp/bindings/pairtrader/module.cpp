// Native core of the pairs-trading factor: the per-pair engine and the
// bar-by-bar accounting.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_accounting(nb::module_& m);
void bind_resample(nb::module_& m);
void bind_pair_engine(nb::module_& m);

NB_MODULE(_pairtrader, m) {
  m.doc() = "Native engine and accounting of the pairs-trading factor";
  bind_accounting(m);
  bind_resample(m);
  bind_pair_engine(m);
}

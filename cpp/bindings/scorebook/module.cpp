// Native core of the results object: daily returns and the bootstrap.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_bootstrap(nb::module_& m);
void bind_unraisable(nb::module_& m);

NB_MODULE(_scorebook, m) {
  m.doc() = "Native daily returns and bootstrap of the results object";
  bind_bootstrap(m);
  bind_unraisable(m);
}

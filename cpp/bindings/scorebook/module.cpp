// Native core of the results object: daily returns and the bootstrap.
#include "binding_prelude.hpp"

void bind_bootstrap(nb::module_& m);

NB_MODULE(_scorebook, m) {
  set_exit_leak_report();
  m.doc() = "Native daily returns and bootstrap of the results object";
  bind_bootstrap(m);
}

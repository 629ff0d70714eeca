// korvane._kernels: the native kernels exposed one by one, for parity tests
// and benchmarks, and the services every other module shares: the engine's
// parameter classes and the unraisable-exception report. Not a public
// interface.
#include "binding_prelude.hpp"
#include "engine_params.hpp"
#include "unraisable.hpp"

void bind_signal_kernels(nb::module_& m);
void bind_pickle_scan(nb::module_& m);
void bind_held_calls(nb::module_& m);

NB_MODULE(_kernels, m) {
  set_exit_leak_report();
  m.doc() = "Native numeric kernels of korvane (private; for tests and benchmarks)";
  korvane::bind::bind_engine_params(m);
  m.def("write_unraisable", &korvane::bind::write_unraisable, "exception"_a, "context"_a,
        "Reports `exception` through sys.unraisablehook, naming `context`.");
  bind_signal_kernels(m);
  bind_pickle_scan(m);
  bind_held_calls(m);
}

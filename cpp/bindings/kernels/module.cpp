// korvane._kernels: the native kernels exposed one by one, for parity tests
// and benchmarks. Not a public interface.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_signal_kernels(nb::module_& m);

NB_MODULE(_kernels, m) {
  m.doc() = "Native numeric kernels of korvane (private; for tests and benchmarks)";
  bind_signal_kernels(m);
}

// Native core of the results object: daily returns and the bootstrap.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(_scorebook, m) {
  m.doc() = "Native daily returns and bootstrap of the results object";
}

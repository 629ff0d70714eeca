#pragma once
// float(value) exactly as the interpreter computes it, so that values and
// errors (TypeError or ValueError with float()'s wording) are its own.
#include <nanobind/nanobind.h>

namespace korvane::bind {

inline double interpreter_float(PyObject* value) {
  PyObject* number = PyNumber_Float(value);
  if (number == nullptr) throw nanobind::python_error();
  const double result = PyFloat_AS_DOUBLE(number);
  Py_DECREF(number);
  return result;
}

}  // namespace korvane::bind

// Reports an exception through the interpreter's unraisable-exception hook,
// the way a native function that must return a plain number reports a failure
// it cannot raise.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_unraisable(nb::module_& m) {
  m.def(
      "write_unraisable",
      [](nb::handle exception, nb::handle context) {
        if (!PyExceptionInstance_Check(exception.ptr()))
          throw nb::type_error("write_unraisable() expects an exception instance");
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()));
        PyObject* traceback = PyException_GetTraceback(exception.ptr());  // new reference or NULL
        Py_INCREF(type);
        Py_INCREF(exception.ptr());
        PyErr_Restore(type, exception.ptr(), traceback);
        PyErr_WriteUnraisable(context.ptr());
      },
      nb::arg("exception"), nb::arg("context"));
}

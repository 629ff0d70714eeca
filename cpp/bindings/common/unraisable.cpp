#include "unraisable.hpp"

#include "binding_prelude.hpp"

namespace korvane::bind {

void write_unraisable(nb::handle exception, nb::handle context) {
  if (!PyExceptionInstance_Check(exception.ptr()))
    throw nb::type_error("write_unraisable() expects an exception instance");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()));
  PyObject* traceback = PyException_GetTraceback(exception.ptr());  // new reference or NULL
  Py_INCREF(type);
  Py_INCREF(exception.ptr());
  PyErr_Restore(type, exception.ptr(), traceback);
  PyErr_WriteUnraisable(context.ptr());
}

}  // namespace korvane::bind

// Calls made with a lock held, and the umask read, where no stop can leave
// anything behind.
//
// A `with lock:` block leaves one moment where a stop (Ctrl-C) lands and the
// release never runs: between the block's last line and the lock's __exit__,
// where a trace function (a debugger, an IDE's run, coverage) lets signal
// handlers run. Here the lock is taken, the call made and the lock released
// within one native call: once the call has returned, no Python code runs
// before the release, so no signal handler runs there either.
#include <sys/stat.h>

#include "binding_prelude.hpp"

namespace {

// The interpreter's own locks only: the release of a lock written in Python
// would be Python code again, where a stop may land.
bool is_native_lock(nb::handle lock) {
  nb::module_ thread = nb::module_::import_("_thread");
  return lock.type().is(thread.attr("RLock")) || lock.type().is(thread.attr("LockType"));
}

nb::object call_holding(nb::handle lock, nb::handle function, nb::tuple args, nb::dict kwargs) {
  if (!is_native_lock(lock)) {
    throw nb::type_error("call_holding() takes a threading.Lock or threading.RLock");
  }
  if (!PyCallable_Check(function.ptr())) {
    throw nb::type_error("call_holding() takes a callable");
  }
  nb::object release = lock.attr("release");
  // A wait that a stop may end: nothing is held until it returns.
  lock.attr("acquire")();
  PyObject* result = PyObject_Call(function.ptr(), args.ptr(), kwargs.ptr());
  if (result == nullptr) {
    nb::python_error error;  // the call's own error, kept aside while the lock is released
    release();
    throw error;
  }
  nb::object returned = nb::steal(result);
  release();
  return returned;
}

// Reading the mask means setting it: the two calls run with the interpreter's
// lock held and no Python code between them, so no other Python thread
// creates a file under the mask set for the read, and no stop leaves it set.
unsigned int process_umask() {
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return static_cast<unsigned int>(mask);
}

}  // namespace

void bind_held_calls(nb::module_& m) {
  m.def("call_holding", &call_holding, "lock"_a, "function"_a, "args"_a, "kwargs"_a,
        "Returns `function(*args, **kwargs)` called with `lock` held: taken before, released after, however the "
        "call ends, with no Python code between the call's end and the release.");
  m.def("process_umask", &process_umask, "The process's file-creation mask, left as it was.");
}

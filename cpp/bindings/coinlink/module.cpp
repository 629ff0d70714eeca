// korvane.connections.binance._coinlink: parsing of exchange candle rows.
//
// The exchange sends each candle as twelve values: the open time in
// milliseconds, then open, high, low, close and volume as decimal text, then
// six values the universe table does not use. A year of minute candles is
// half a million rows per symbol, and converting their text value by value
// through the interpreter dominates a download's cleaning; here each value is
// read with std::from_chars, which rounds correctly like the interpreter's
// float(). Anything from_chars does not take whole (blanks, a sign, "nan",
// numbers that are not text) goes through float() itself, so the results
// and the errors are the interpreter's.
#include <charconv>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "binding_prelude.hpp"
#include "interpreter_float.hpp"

namespace {

constexpr Py_ssize_t kRowLength = 12;
constexpr size_t kFields = 5;  // open, high, low, close, volume

using korvane::bind::interpreter_float;

double parse_value(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) throw nb::python_error();
    double result = 0.0;
    auto [end, error] = std::from_chars(text, text + size, result, std::chars_format::general);
    if (error == std::errc() && end == text + size && size > 0 && (text[0] == '-' || text[0] == '.' ||
                                                                     (text[0] >= '0' && text[0] <= '9')))
      return result;
  }
  return interpreter_float(value);
}

int64_t parse_time(PyObject* value) {
  if (PyLong_CheckExact(value)) {
    long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
  }
  PyObject* number = PyNumber_Long(value);
  if (number == nullptr) throw nb::python_error();
  long long result = PyLong_AsLongLong(number);
  Py_DECREF(number);
  if (result == -1 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

// (open times, fields): the open times as int64 milliseconds and the five
// fields as a (5, rows) float64 array, one contiguous row per field.
//
// A value's __float__ or __index__ is Python code that may change the list
// of candles or a row while it is read. The rows are therefore read from a
// tuple of their own, and each row's six values are held before the first
// of them is converted.
nb::tuple candle_fields(nb::handle klines) {
  nb::object sequence = nb::steal(PySequence_Fast(klines.ptr(), "the candles must be a sequence of rows"));
  if (!sequence.is_valid()) throw nb::python_error();
  PyObject* rows = PySequence_Tuple(sequence.ptr());
  if (rows == nullptr) throw nb::python_error();
  nb::object rows_owner = nb::steal(rows);
  const Py_ssize_t n_rows = PyTuple_GET_SIZE(rows);

  const size_t rows_count = static_cast<size_t>(n_rows);
  std::unique_ptr<int64_t[]> times_buffer = new_buffer<int64_t>(rows_count);
  std::unique_ptr<double[]> fields_buffer = new_buffer<double>(kFields * rows_count);
  int64_t* times = times_buffer.get();
  double* fields = fields_buffer.get();
  auto times_array = owned_array(std::move(times_buffer), {rows_count});
  auto fields_array = owned_array(std::move(fields_buffer), {kFields, rows_count});

  nb::object values[1 + kFields];
  for (Py_ssize_t i = 0; i < n_rows; ++i) {
    PyObject* row = PySequence_Fast(PyTuple_GET_ITEM(rows, i), "each candle must be a sequence of values");
    if (row == nullptr) throw nb::python_error();
    nb::object row_owner = nb::steal(row);
    const Py_ssize_t length = PySequence_Fast_GET_SIZE(row);
    if (length != kRowLength)
      throw nb::value_error(("candle row " + std::to_string(i) + " holds " + std::to_string(length) +
                             " values, expected " + std::to_string(kRowLength))
                                .c_str());
    PyObject** items = PySequence_Fast_ITEMS(row);
    for (size_t v = 0; v <= kFields; ++v) values[v] = nb::borrow(items[v]);
    times[i] = parse_time(values[0].ptr());
    for (size_t field = 0; field < kFields; ++field)
      fields[field * n_rows + i] = parse_value(values[1 + field].ptr());
  }
  return nb::make_tuple(times_array, fields_array);
}

}  // namespace

NB_MODULE(_coinlink, m) {
  set_exit_leak_report();
  m.doc() = "Parsing of exchange candle rows for Coinlink (private)";
  m.def("candle_fields", &candle_fields, "klines"_a,
        "The open times (int64 ms) and the open, high, low, close and volume rows (a (5, n) float64 array)");
}

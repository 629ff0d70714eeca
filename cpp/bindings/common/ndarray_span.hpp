#pragma once
// The one conversion between numpy arrays and the spans the core works on,
// and back: arrays the core filled, handed to numpy without a further copy.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace korvane::bind {

namespace nb = nanobind;

// Read-only float64 inputs: pandas 3 hands out read-only arrays, so inputs
// are always taken as const. C-contiguity is required so that a row is a
// pointer plus a length.
using CVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CInt64Vector = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// A bar matrix read through its strides (a view of a wider table).
using AnyMatrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
// Outputs written in place. Bind them with `.noconvert()`: a converted copy
// would receive the results and be thrown away.
using OutMatrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using OutVector = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A numpy array handed back to Python.
template <typename T>
using Array = nb::ndarray<nb::numpy, T>;

// Uninitialised storage for `count` values of an output array (one at least,
// so that an empty array still has an address).
template <typename T>
std::unique_ptr<T[]> new_buffer(std::size_t count) {
  return std::unique_ptr<T[]>(new T[count > 0 ? count : 1]);
}

// A numpy array that takes over `data`. The capsule owns the storage from the
// moment it exists, so it is freed exactly once whichever step fails.
template <typename T>
Array<T> owned_array(std::unique_ptr<T[]> data, std::initializer_list<std::size_t> shape) {
  nb::capsule owner(data.get(), [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return Array<T>(data.release(), shape, owner);
}

// A numpy copy of the values at `data`, in the given shape.
template <typename T>
Array<T> array_copy(const T* data, std::initializer_list<std::size_t> shape) {
  std::size_t count = 1;
  for (std::size_t extent : shape) count *= extent;
  std::unique_ptr<T[]> buffer = new_buffer<T>(count);
  if (count > 0) std::memcpy(buffer.get(), data, count * sizeof(T));
  return owned_array(std::move(buffer), shape);
}

template <typename T>
Array<T> array_copy(const std::vector<T>& values) {
  return array_copy(values.data(), {values.size()});
}

}  // namespace korvane::bind

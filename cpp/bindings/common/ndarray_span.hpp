#pragma once
// The one conversion between numpy arrays and the spans the core works on.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>

namespace korvane::bind {

namespace nb = nanobind;

// Read-only float64 inputs: pandas 3 hands out read-only arrays, so inputs
// are always taken as const. C-contiguity is required so that a row is a
// pointer plus a length.
using CVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using CInt64Vector = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A freshly allocated numpy array owning `data` (allocated with new[]).
template <typename T>
nb::ndarray<nb::numpy, T> owned_array(T* data, std::initializer_list<size_t> shape) {
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(data, shape, owner);
}

}  // namespace korvane::bind

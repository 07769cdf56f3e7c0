// What the sources of the extension vesk._vesk share.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace vesk::python {

namespace py = pybind11;

// Adds the reading side (File, seconds_to_ns) and the writing side (Writer)
// to the module.
void BindReading(py::module_& m);
void BindWriting(py::module_& m);

// The memory of a 1-D float64 array that the extension fills or reads in
// place: C-contiguous, writeable when `writing`, at least `rows` long;
// std::invalid_argument (ValueError) otherwise. The array must outlive the use.
double* NumberBuffer(py::array& array, int64_t rows, bool writing);

}  // namespace vesk::python

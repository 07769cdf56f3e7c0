// The extension vesk._vesk: the library's reader and writer for the package
// vesk (python/vesk), which builds the DataFrames. Library errors become the
// package's vesk.Error, carrying the message number.
#include <stdexcept>
#include <string>

#include "binding.h"
#include "vesk.hpp"

namespace vesk::python {

namespace {

// The package's exception class, handed over by set_error_class when the
// package is imported; RuntimeError until then.
py::object& ErrorClass() {
    static py::object* cls = new py::object(py::reinterpret_borrow<py::object>(PyExc_RuntimeError));
    return *cls;
}

void RaiseError(const vesk::Error& e) {
    py::object instance = ErrorClass()(py::str(e.what()), e.code());
    PyErr_SetObject(ErrorClass().ptr(), instance.ptr());
}

}  // namespace

double* NumberBuffer(py::array& array, int64_t rows, bool writing) {
    const int flags = py::array::c_style;
    if (!array.dtype().is(py::dtype::of<double>()) || array.ndim() != 1 || !(array.flags() & flags) ||
        array.shape(0) < rows || (writing && !array.writeable()))
        throw std::invalid_argument("expected a contiguous float64 array of " + std::to_string(rows) + " values");
    return static_cast<double*>(array.mutable_data());
}

}  // namespace vesk::python

PYBIND11_MODULE(_vesk, m) {
    namespace py = pybind11;
    using namespace vesk::python;
    m.doc() = "The vesk library's reader and writer (use the package vesk)";
    m.def("set_error_class", [](py::object cls) { ErrorClass() = std::move(cls); },
          "The class that library errors are raised as: cls(message, code).");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const vesk::Error& e) {
            RaiseError(e);
        }
    });
    BindReading(m);
    BindWriting(m);
}

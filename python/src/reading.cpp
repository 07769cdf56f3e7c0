// Reading for Python: a vesk::Reader whose columnar reads go straight into
// numpy arrays with the GIL released, the `vesk info --json` text of the
// file, and row marks for readers in other processes.
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "SystemFileDataSource.h"
#include "binding.h"
#include "dictjson.h"
#include "engine_access.h"
#include "vesk.hpp"

namespace vesk::python {

namespace {

// Where one column goes: a float64 array, or an object array that receives
// Python strings once the texts are read.
struct Target {
    size_t column = 0;
    py::array array;  // keeps the memory below alive
    double* numbers = nullptr;
    PyObject** objects = nullptr;
    StringColumn strings;
};

PyObject** ObjectBuffer(py::array& array, int64_t rows) {
    if (array.dtype().kind() != 'O' || array.ndim() != 1 || !(array.flags() & py::array::c_style) ||
        array.shape(0) < rows || !array.writeable())
        throw std::invalid_argument("expected a contiguous object array of " + std::to_string(rows) + " values");
    return static_cast<PyObject**>(array.mutable_data());
}

// The texts as str objects in the array (undecodable bytes replaced).
void StoreTexts(const Target& t, int64_t rows) {
    for (int64_t i = 0; i < rows; ++i) {
        const std::string_view text = t.strings[size_t(i)];
        PyObject* s = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
        if (!s) throw py::error_already_set();
        Py_XSETREF(t.objects[i], s);
    }
}

// A system file open for reading. One thread at a time reads through it;
// calls from several Python threads wait for each other.
class File {
public:
    File(const std::string& path, const std::optional<std::string>& password) {
        ReaderOptions options;
        options.password = password;
        py::gil_scoped_release free;
        fReader.emplace(path, options);
    }

    std::string InfoJson() {
        py::gil_scoped_release free;
        const std::lock_guard<std::mutex> lock(fMutex);
        std::string out;
        detail::EngineAccess::With(*fReader, [&](const VESK_DataSource& source, const SystemFileDataSource& file) {
            WriteInfoJson(out, source, file);
        });
        return out;
    }

    int64_t RowCount() {
        py::gil_scoped_release free;
        const std::lock_guard<std::mutex> lock(fMutex);
        return fReader->row_count();
    }

    // (name, width, is_date, is_time) of every variable.
    std::vector<std::tuple<std::string, int, bool, bool>> Columns() const {
        std::vector<std::tuple<std::string, int, bool, bool>> out;
        for (const Variable& v : fReader->variables()) out.emplace_back(v.name, v.width, v.is_date(), v.is_time());
        return out;
    }

    // The column of a name (case does not matter); Error 1244 when none.
    size_t Column(const std::string& name) const { return fReader->column(name); }

    // Reads up to `rows` rows from `first` into the arrays of `targets`, a
    // list of (column, array): float64 arrays for numeric columns, object
    // arrays for string columns. Returns the rows read.
    int64_t Read(const py::list& targets, int64_t first, int64_t rows, bool userMissing) {
        std::vector<Target> plan = Plan(targets, rows);
        std::vector<ColumnTarget> into;
        for (Target& t : plan) into.push_back({t.column, t.numbers, t.numbers ? nullptr : &t.strings, nullptr});
        BatchOptions options;
        options.user_missing = userMissing;
        int64_t got = 0;
        {
            py::gil_scoped_release free;
            const std::lock_guard<std::mutex> lock(fMutex);
            got = fReader->read_into(into, first, rows, options);
        }
        for (const Target& t : plan)
            if (t.objects) StoreTexts(t, got);
        return got;
    }

    std::vector<std::pair<int64_t, int64_t>> Marks(const std::vector<int64_t>& rows) {
        py::gil_scoped_release free;
        const std::lock_guard<std::mutex> lock(fMutex);
        std::vector<std::pair<int64_t, int64_t>> out;
        for (const RowMark& mark : fReader->row_marks(rows)) out.emplace_back(mark.row, mark.position);
        return out;
    }

    void ResumeAt(int64_t row, int64_t position) {
        const std::lock_guard<std::mutex> lock(fMutex);
        fReader->resume_at({row, position});
    }

    // Where the data starts in the file (tests damage the bytes before a mark).
    int64_t DataOffset() const {
        return detail::EngineAccess::With(*fReader,
                                          [](const VESK_DataSource&, const SystemFileDataSource& f) { return f.Row0Pos(); });
    }

private:
    std::vector<Target> Plan(const py::list& targets, int64_t rows) const {
        if (rows < 0) throw std::invalid_argument("negative row count");
        std::vector<Target> plan(targets.size());
        for (size_t k = 0; k < plan.size(); ++k) {
            const auto pair = targets[k].cast<py::tuple>();
            plan[k].column = pair[0].cast<size_t>();
            // Only an array can be filled in place (a list would be converted to a temporary one).
            if (!py::isinstance<py::array>(pair[1])) throw std::invalid_argument("targets are numpy arrays");
            py::array& array = plan[k].array = py::reinterpret_borrow<py::array>(pair[1]);
            if (array.dtype().kind() == 'O')
                plan[k].objects = ObjectBuffer(array, rows);
            else
                plan[k].numbers = NumberBuffer(array, rows, true);
        }
        return plan;
    }

    std::optional<Reader> fReader;
    std::mutex fMutex;
};

constexpr double kMicro = 1e6;
// Microseconds that still fit int64 nanoseconds (INT64_MAX / 1000, to the
// nearest double below it; doubles are 2 apart there).
constexpr double kMaxMicros = 9223372036854774.0;

// Date-time values (seconds since 1582-10-14, `offset` being 1970-01-01) or
// durations (offset 0), turned in place into int64 nanoseconds to the
// microsecond; NaN becomes the NaT value, and so do values that nanoseconds
// cannot hold. Returns how many of those there were.
int64_t SecondsToNanos(py::array& array, double offset) {
    double* values = NumberBuffer(array, 0, true);
    const auto n = size_t(array.shape(0));
    int64_t lost = 0;
    {
        py::gil_scoped_release free;
        auto* out = reinterpret_cast<int64_t*>(values);
        for (size_t i = 0; i < n; ++i) {
            const double v = values[i];
            const double micros = std::nearbyint((v - offset) * kMicro);
            const bool fits = std::fabs(micros) <= kMaxMicros;
            lost += !fits && !std::isnan(v);
            out[i] = fits ? int64_t(micros) * 1000 : std::numeric_limits<int64_t>::min();
        }
    }
    return lost;
}

}  // namespace

void BindReading(py::module_& m) {
    py::class_<File>(m, "File")
        .def(py::init<const std::string&, const std::optional<std::string>&>(), py::arg("path"),
             py::arg("password") = py::none())
        .def("info_json", &File::InfoJson, "The object `vesk info --json` prints, as JSON text.")
        .def("row_count", &File::RowCount)
        .def("columns", &File::Columns, "(name, width, is_date, is_time) of every variable.")
        .def("column", &File::Column, py::arg("name"))
        .def("read", &File::Read, py::arg("targets"), py::arg("first"), py::arg("rows"), py::arg("user_missing"),
             "Reads rows into [(column, array)]; returns the rows read.")
        .def("row_marks", &File::Marks, py::arg("rows"), "(row, position) at or shortly before each row.")
        .def("resume_at", &File::ResumeAt, py::arg("row"), py::arg("position"))
        .def("data_offset", &File::DataOffset);
    m.def("seconds_to_ns", &SecondsToNanos, py::arg("values"), py::arg("offset"),
          "Turns float64 seconds into int64 nanoseconds in place; returns the values lost.");
    m.attr("UNIX_EPOCH_SECONDS") = kUnixEpochSeconds;
}

}  // namespace vesk::python

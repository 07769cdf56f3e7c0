// Writing for Python: a vesk::Writer made from variable descriptions (dicts
// the package vesk prepares from a DataFrame and its metadata), fed with
// numpy float64 arrays and sequences of str, the GIL released while the
// library writes.
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "vesk.hpp"

namespace vesk::python {

namespace {

Format ToFormat(const py::handle& spec) {
    const auto t = spec.cast<std::vector<int>>();
    if (t.size() != 3) throw std::invalid_argument("a format is [code, width, decimals]");
    return {t[0], t[1], t[2]};
}

Value ToValue(const py::handle& value) {
    if (py::isinstance<py::str>(value)) return Value(value.cast<std::string>());
    return Value(value.cast<double>());
}

MissingValues ToMissing(const py::dict& spec) {
    MissingValues missing;
    if (spec.contains("values"))
        for (const py::handle v : spec["values"]) missing.values.push_back(ToValue(v));
    if (spec.contains("range") && !spec["range"].is_none()) {
        const auto range = spec["range"].cast<std::pair<double, double>>();
        missing.range = MissingValues::Range{range.first, range.second};
    }
    return missing;
}

template <class T>
void Optional(const py::dict& spec, const char* key, std::optional<T>& into) {
    if (spec.contains(key) && !spec[key].is_none()) into = spec[key].cast<T>();
}

// A variable from {"name", "width", and any of "label", "print", "write",
// "measure", "alignment", "display_width", "role", "value_labels" [(value,
// label)], "missing" {"values", "range"}, "attributes" [(name, [values])]}.
Variable ToVariable(const py::dict& spec) {
    Variable v;
    v.name = spec["name"].cast<std::string>();
    v.width = spec["width"].cast<int>();
    Optional(spec, "label", v.label);
    if (spec.contains("print")) v.print = ToFormat(spec["print"]);
    if (spec.contains("write")) v.write = ToFormat(spec["write"]);
    if (spec.contains("measure")) v.measure = Measure(spec["measure"].cast<int>());
    if (spec.contains("alignment")) v.alignment = Alignment(spec["alignment"].cast<int>());
    Optional(spec, "display_width", v.display_width);
    if (spec.contains("role")) v.role = spec["role"].cast<int>();
    if (spec.contains("value_labels"))
        for (const py::handle pair : spec["value_labels"])
            v.value_labels[ToValue(pair[py::int_(0)])] = pair[py::int_(1)].cast<std::string>();
    if (spec.contains("missing")) v.missing = ToMissing(spec["missing"].cast<py::dict>());
    if (spec.contains("attributes")) v.attributes = spec["attributes"].cast<Attributes>();
    return v;
}

Compression ToCompression(const std::string& name) {
    if (name == "none") return Compression::none;
    if (name == "bytecode") return Compression::bytecode;
    if (name == "zlib") return Compression::zlib;
    throw std::invalid_argument("compression is one of \"none\", \"bytecode\", \"zlib\", not \"" + name + "\"");
}

// The texts of a sequence of str (None for an empty text).
StringColumn ToTexts(const py::handle& sequence) {
    StringColumn texts;
    for (const py::handle item : sequence) {
        if (item.is_none()) {
            texts.push_back({});
            continue;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (!utf8) throw py::error_already_set();
        texts.push_back(std::string_view(utf8, size_t(size)));
    }
    return texts;
}

// A new system file; see vesk::Writer.
class FileWriter {
public:
    FileWriter(const std::string& path, const py::list& variables, const std::string& compression,
               const std::optional<std::string>& password, const std::optional<std::string>& label,
               const Attributes& attributes) {
        std::vector<Variable> vars;
        for (const py::handle spec : variables) vars.push_back(ToVariable(spec.cast<py::dict>()));
        WriterOptions options;
        options.compression = ToCompression(compression);
        options.password = password;
        options.label = label;
        options.attributes = attributes;
        py::gil_scoped_release free;
        fWriter.emplace(path, std::move(vars), options);
    }

    // Appends rows: one entry per variable, a float64 array for a numeric
    // variable, a sequence of str for a string variable, all of one length.
    void Write(const py::list& columns) {
        std::vector<py::array> arrays;
        std::vector<StringColumn> texts;
        texts.reserve(columns.size());
        std::vector<ColumnInput> inputs;
        for (const py::handle column : columns) {
            if (py::isinstance<py::array>(column) && py::cast<py::array>(column).dtype().kind() == 'f') {
                arrays.push_back(py::cast<py::array>(column));
                const double* numbers = NumberBuffer(arrays.back(), 0, false);
                inputs.emplace_back(std::span<const double>(numbers, size_t(arrays.back().shape(0))));
            } else {
                texts.push_back(ToTexts(column));
                inputs.emplace_back(texts.back());
            }
        }
        py::gil_scoped_release free;
        Get().write_columns(inputs);
    }

    void Close() {
        py::gil_scoped_release free;
        Get().close();
    }

    // Gives the file up: the temporary file goes, an existing target stays.
    void Abandon() {
        py::gil_scoped_release free;
        fWriter.reset();
    }

private:
    Writer& Get() {
        if (!fWriter) throw std::invalid_argument("the writer was given up");
        return *fWriter;
    }

    std::optional<Writer> fWriter;
};

}  // namespace

void BindWriting(py::module_& m) {
    py::class_<FileWriter>(m, "Writer")
        .def(py::init<const std::string&, const py::list&, const std::string&, const std::optional<std::string>&,
                      const std::optional<std::string>&, const Attributes&>(),
             py::arg("path"), py::arg("variables"), py::arg("compression"), py::arg("password"), py::arg("label"),
             py::arg("attributes"))
        .def("write", &FileWriter::Write, py::arg("columns"))
        .def("close", &FileWriter::Close)
        .def("abandon", &FileWriter::Abandon);
}

}  // namespace vesk::python

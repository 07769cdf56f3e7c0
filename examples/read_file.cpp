// Prints a system file's variables and its cases, values shown by their
// format and value labels, with the vesk:: layer: read_file FILE.sys
#include <cstdio>
#include <vesk/vesk.hpp>

int main(int argc, char** argv) try {
    vesk::Reader in(argc > 1 ? argv[1] : "towns.sys");
    std::printf("%s: %lld rows\n", in.label().value_or("(no label)").c_str(), static_cast<long long>(in.row_count()));
    for (const vesk::Variable& v : in.variables())
        std::printf("  %-12s %-6s %s\n", v.name.c_str(), v.is_string() ? "string" : v.is_date() ? "date" : "number",
                    v.label.value_or("").c_str());
    for (const vesk::Row& row : in.rows()) {
        for (size_t k = 0; k < in.variables().size(); ++k) {
            const vesk::Variable& v = in.variables()[k];
            const vesk::Cell cell = row[k];
            const std::string* label = cell.is_number() ? v.label_of(cell.number()) : nullptr;
            std::printf("%s%s", k ? ", " : "  ", label ? label->c_str() : vesk::format_value(v, cell).c_str());
        }
        std::printf("\n");
    }
} catch (const std::exception& e) {
    std::fprintf(stderr, "read_file: %s\n", e.what());
    return 1;
}

// Writes a small labelled system file with the vesk:: layer: write_file OUT.sys
#include <chrono>
#include <cstdio>
#include <vesk/vesk.hpp>

int main(int argc, char** argv) try {
    using namespace std::chrono;
    vesk::Variable sex = vesk::Variable::numeric("sex", vesk::Format::number(1, 0));
    sex.label = "Sex of the respondent";
    sex.value_labels = {{1, "male"}, {2, "female"}, {9, "no answer"}};
    sex.missing.values = {9};
    vesk::WriterOptions options;
    options.label = "Towns of the demo";
    vesk::Writer out(argc > 1 ? argv[1] : "towns.sys",
                     {vesk::Variable::string("town", 16), sex, vesk::Variable::numeric("born", vesk::Format::date())},
                     options);
    out.write_row({"Lüneburg", 1, vesk::from_date(1961y / August / 4)});
    out.write_row({"Ørsted", 2, vesk::from_date(1984y / March / 29)});
    out.write_row({"Ávila", 9, std::nullopt});
    out.close();
    std::printf("%lld rows written\n", static_cast<long long>(out.rows_written()));
} catch (const std::exception& e) {
    std::fprintf(stderr, "write_file: %s\n", e.what());
    return 1;
}

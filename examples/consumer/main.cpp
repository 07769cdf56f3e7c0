// Writes a small labelled file, reads it back and prints its mean:
// consumer FILE.sys
#include <cstdio>
#include <vesk/datasource.h>
#include <vesk/version.h>
#include <vesk/vesk.hpp>

int main(int argc, char** argv) try {
    const char* path = argc > 1 ? argv[1] : "consumer.sys";
    {
        vesk::Variable x = vesk::Variable::numeric("x", vesk::Format::number(4, 1));
        x.label = "a number";
        vesk::Writer out(path, {x});
        for (int i = 1; i <= 4; ++i) out.write_row({double(i)});
        out.close();
    }
    vesk::Reader in(path);
    double sum = 0;
    for (const vesk::Row& row : in.rows()) sum += row[0].number();
    // The same file through the classes of <vesk/datasource.h>.
    SystemFileDataSource file(path, "", false);
    std::printf("vesk %s: %lld rows, mean %g; %s\n", VESK_VERSION_STRING, static_cast<long long>(in.row_count()),
                sum / double(in.row_count()), file.GetVariable(0).GetName().c_str());
    return in.row_count() == 4 && sum == 10 && file.RowCount() == 4 ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "consumer: %s\n", e.what());
    return 1;
}

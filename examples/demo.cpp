// A small tour of what the library does today: a dictionary with variables,
// value labels and attributes; cases kept in memory and read back; names made
// legal and unique; dates; text converted between code pages.
#include <cstdio>
#include <string>

#include <vesk/datasource.h>

namespace {

void Section(const char* title) { std::printf("\n== %s\n", title); }

std::string Trim(const char* text, size_t n) {
    std::string s(text, n);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

int main() {
    SetUTF8mode(1);

    Section("Dictionary");
    MemoryDataStore store;
    store.SetLabel("Survey of the demo town");
    VESK_Variable& id = store.MakeVariable(0);
    id.SetName("id");
    id.SetFormat(VESK_Variable::FormatType(5), 6, 0);
    VESK_Variable& town = store.MakeVariable(12);
    town.SetName("town");
    town.SetLabel("Home town");
    VESK_Variable& sex = store.MakeVariable(0);
    sex.SetName("sex");
    VESK_ValueLabelMap labels(0);
    labels.AddPair(1.0, "male");
    labels.AddPair(2.0, "female");
    sex.SetValueLabels(labels);
    double missing = 9;
    sex.SetMissingValues(&missing, nullptr, nullptr);
    DatasourceAttributes notes;
    notes.Define("Source", {"interviews", "registry"});
    store.SetAttributes(notes);

    for (unsigned i = 0; i < store.ColumnCount(); ++i) {
        const VESK_Variable& v = store.GetVariable(int(i));
        std::printf("  %-6s type %-3d cells from %u  label: %s\n", v.GetName().c_str(), v.GetType(),
                    store.ObsIndex(int(i)), v.GetPreferredLabel().c_str());
    }
    std::printf("  cells per case: %u\n", store.GetObsAreaSize());
    std::printf("  dataset attributes as stored: %s", store.GetAttributes().MakeString().c_str());

    Section("Names");
    for (const char* wanted : {"my var!", "1st", "with", "id", "Größe"}) {
        std::printf("  %-10s -> %s\n", wanted, store.GoodVarName(wanted).c_str());
    }

    Section("Cases");
    const struct {
        double id;
        const char* town;
        double sex;
    } rows[] = {{1, "Lüneburg", 1}, {2, "Ørsted", 2}, {3, "Ávila", 9}};
    VESK_Case row(store, nullptr);
    for (const auto& r : rows) {
        row.SetColumnValue(0, r.id);
        row.SetColumnValue(1, r.town);
        row.SetColumnValue(2, r.sex);
        store.AddRow(row.Cells());
    }
    store.Close();
    VESK_InputCaseIterator* it = store.MakeIterator(nullptr);
    while (it->NextCase()) {
        double s = it->GetNumericValue(2);
        const char* label = store.GetVariable(2).IsMissing(s) ? "(missing)" : "";
        VESK_ValueLabelMap map(store.GetVariable(2).GetValueLabels());
        const char* vl = map.GetLabel(s);
        std::printf("  id %g  town %-10s sex %g %s%s\n", it->GetNumericValue(0),
                    Trim(it->GetStringValue(1), 12).c_str(), s, vl ? vl : "", label);
    }
    delete it;

    Section("Dates");
    double t = 0;
    iDMY2Vesk(6, 12, 2026, 14, 30, 0, &t);
    long d, m, y;
    iVesk2DMY(t, &d, &m, &y, nullptr, nullptr, nullptr);
    std::printf("  6 Dec 2026 14:30 = %.0f seconds since 14 Oct 1582 (back: %ld.%ld.%ld)\n", t, d, m, y);

    Section("Code pages");
    VESKMBConverter* cp1252 = VESKMBConverterNew_A("windows-1252");
    std::string native, back;
    int lost = VESKMBU8ToCodePage(cp1252, native, "Café – 5 €");
    std::printf("  UTF-8 -> windows-1252: %zu bytes, lost text: %s\n", native.size(), lost ? "yes" : "no");
    lost = VESKMBU8ToCodePage(cp1252, native, "Ελληνικά");
    std::printf("  Greek -> windows-1252: lost text: %s\n", lost ? "yes" : "no");
    VESKMBCodePageToU8(cp1252, back, "Caf\xE9");
    std::printf("  windows-1252 \"Caf\\xE9\" -> UTF-8: %s\n", back.c_str());
    int number = 0;
    VESKMBCpNameToNum_A("cp1252", &number);
    std::printf("  code page number of cp1252: %d\n", number);
    VESKMBConverterDelete_A(cp1252);
    return 0;
}

#include "importpasses.h"

#include <cstring>
#include <utility>

#include "SystemFileDataSource.h"
#include "casebatches.h"
#include "csvinput.h"
#include "csvreader.h"
#include "datasrc.h"
#include "progress.h"

namespace vesk {

namespace {

constexpr size_t kHeaderKeep = 256;  // bytes of a header field kept (names use 64)

// ---------------------------------------------------------------- first pass

class HeaderSink {
public:
    explicit HeaderSink(std::vector<std::string>& header) : fHeader(header) {}
    void Field(size_t, const CsvField& f) { fHeader.emplace_back(f.text.substr(0, kHeaderKeep)); }
    void End(size_t) {}

private:
    std::vector<std::string>& fHeader;
};

class GuessSink {
public:
    GuessSink(CsvReader& reader, ImportColumns& columns, bool growing, Progress& progress, const ByteInput& input)
        : fReader(reader), fColumns(columns), fGuesses(columns.guesses), fGrowing(growing), fProgress(progress),
          fInput(input) {}

    void Field(size_t i, const CsvField& f) {
        if (i >= fGuesses.size()) MoreFields();
        fGuesses[i].See(f.text, f.length, fReader.RecordLine());
    }
    void End(size_t n) {
        fGrowing = false;
        if (n < fGuesses.size()) fColumns.shortRecords.Add(fReader.RecordLine());
        ++fColumns.records;
        // By bytes when the size is known, else by records (the bar's counter says "cases").
        fProgress.Update(fInput.KnownSize() >= 0 ? int64_t(fInput.Consumed()) : int64_t(fColumns.records));
    }

private:
    void MoreFields() {
        if (!fGrowing)
            fReader.Fail(fReader.RecordLine(),
                         "more fields than the " + std::to_string(fGuesses.size()) + " of the first line");
        fGuesses.emplace_back();
    }

    CsvReader& fReader;
    ImportColumns& fColumns;
    std::vector<ColumnGuess>& fGuesses;
    bool fGrowing;  // the first record of a file without a header sets the column count
    Progress& fProgress;
    const ByteInput& fInput;
};

// ---------------------------------------------------------------- second pass

struct ColumnPlan {
    ColumnKind kind;
    int width;      // bytes of a text column
    uint32_t cell;  // first cell
};

class CaseSink {
public:
    // The plan is made from the dictionary before the cases start.
    CaseSink(CsvReader& reader, std::vector<ColumnPlan> plan, CaseBatches& out, ValueChanges& changes,
             Progress& progress)
        : fReader(reader), fPlan(std::move(plan)), fOut(out), fChanges(changes), fProgress(progress),
          fRow(out.Next()) {}

    void Field(size_t i, const CsvField& f) {
        if (i >= fPlan.size()) Changed();
        const ColumnPlan& column = fPlan[i];
        OBS* cell = fRow + column.cell;
        if (f.length == 0)
            Empty(cell, column);
        else if (column.kind == ColumnKind::kNumber)
            Number(cell, f.text);
        else if (column.kind == ColumnKind::kText)
            Text(cell, column.width, f);
        else if (!DateValue(f.text, &cell->d))
            Changed();
    }
    void End(size_t n) {
        for (size_t i = n; i < fPlan.size(); ++i) Empty(fRow + fPlan[i].cell, fPlan[i]);
        fOut.Add();
        fRow = fOut.Next();
        fProgress.Update(++fDone);
    }

private:
    static void Empty(OBS* cell, const ColumnPlan& column) {
        if (column.kind == ColumnKind::kText)
            std::memset(cell->c, ' ', size_t(CellsForType(column.width)) * sizeof(OBS));
        else
            cell->d = VESK_DataSource::SystemMissing();
    }
    void Number(OBS* cell, std::string_view text) {
        NumberChange change;
        if (!NumberValue(text, &cell->d, &change)) Changed();
        if (change == NumberChange::kTiny) fChanges.tiny.Add(fReader.RecordLine());
        if (change == NumberChange::kSystemMissing) fChanges.systemMissing.Add(fReader.RecordLine());
    }
    void Text(OBS* cell, int width, const CsvField& f) {
        size_t n = f.text.size();
        if (f.length > uint64_t(width)) {
            if (f.length <= uint64_t(kMaxStringWidth)) Changed();
            n = CutLength(f.text, size_t(width));
            fChanges.cut.Add(fReader.RecordLine());
        }
        // The text runs on through the cells after the first.
        char* bytes = reinterpret_cast<char*>(cell);
        std::memcpy(bytes, f.text.data(), n);
        std::memset(bytes + n, ' ', size_t(CellsForType(width)) * sizeof(OBS) - n);
    }
    [[noreturn]] void Changed() const {
        fReader.Fail(fReader.RecordLine(), "the input changed while it was being imported");
    }

    CsvReader& fReader;
    const std::vector<ColumnPlan> fPlan;
    CaseBatches& fOut;
    ValueChanges& fChanges;
    Progress& fProgress;
    OBS* fRow;  // the case being filled
    int64_t fDone = 0;
};

std::vector<ColumnPlan> MakePlan(const VESK_DataSource& dictionary, const ImportColumns& columns) {
    std::vector<ColumnPlan> plan;
    for (unsigned i = 0; i < dictionary.ColumnCount(); ++i)
        plan.push_back({columns.guesses[i].Kind(), dictionary.GetVariable(int(i)).GetType(),
                        uint32_t(dictionary.ObsIndex(int(i)))});
    return plan;
}

}  // namespace

ImportColumns FirstPass(CsvReader& reader, const ByteInput& input, bool header) {
    ImportColumns columns;
    if (header) {
        HeaderSink sink(columns.header);
        if (!reader.Next(sink)) throw CsvError(reader.Name() + ": no header line: the input is empty");
        columns.guesses.resize(columns.header.size());
    }
    Progress progress("import: reading", input.KnownSize(), Progress::StderrIsTerminal());
    GuessSink sink(reader, columns, !header, progress, input);
    while (reader.Next(sink)) {
    }
    progress.Finish();
    if (columns.guesses.empty()) throw CsvError(reader.Name() + ": no records: the input is empty");
    return columns;
}

void DefineVariables(VESK_DataSource& out, const std::vector<std::string>& names, const ImportColumns& columns) {
    for (size_t i = 0; i < names.size(); ++i) {
        const ColumnGuess& guess = columns.guesses[i];
        const bool text = guess.Kind() == ColumnKind::kText;
        VESK_Variable var(text ? guess.Width() : 0);
        var.SetName(names[i].c_str());
        if (!text) {
            var.SetFormat(guess.Format());
            var.SetWriteFormat(guess.Format());
        }
        var.SetMeasurementLevel(text ? VESK_Variable::eMeasureNominal : VESK_Variable::eMeasureScale);
        out.MakeVariable(var);
    }
}

void SecondPass(CsvReader& reader, SystemFileDataSource& out, const ImportColumns& columns, bool header,
                ValueChanges& changes) {
    reader.Rewind(false);
    struct Skip {
        void Field(size_t, const CsvField&) {}
        void End(size_t) {}
    } skip;
    if (header) reader.Next(skip);
    Progress progress("import: writing", int64_t(columns.records), Progress::StderrIsTerminal());
    std::vector<ColumnPlan> plan = MakePlan(out, columns);
    CaseBatches batches(out, out.GetObsAreaSize());
    CaseSink sink(reader, std::move(plan), batches, changes, progress);
    while (reader.Next(sink)) {
    }
    batches.Finish();
    progress.Finish();
}

size_t CutLength(std::string_view text, size_t max) {
    if (text.size() <= max) return text.size();
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace vesk

#define VESK_SOURCE_NAME "Datasource/src/reencode"

#include "reencode.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "SystemFileDataSource.h"
#include "case.h"
#include "valuelabelmap.h"
#include "variable.h"
#include "variableset.h"
#include "vesk_assert.h"

namespace {

constexpr size_t kMissingValueBytes = sizeof(OBS);

size_t TrimmedLength(const char* text, size_t length) {
    // A blank is never the trail byte of a multibyte character, so trailing
    // blanks can be dropped before conversion and padded back afterwards.
    while (length > 0 && text[length - 1] == ' ') --length;
    return length;
}

// Converts srcLen bytes of src into at most width bytes of dest and pads dest
// with blanks to room bytes. Returns the converter's status (nonzero: text lost).
int ConvertField(ReencodeDirection direction, const VESKMBConverter* converter, char* dest, size_t width,
                 size_t room, const char* src, size_t srcLen) {
    int status = 0;
    size_t written = 0;
    srcLen = TrimmedLength(src, srcLen);
    width = std::min(width, room);
    if (srcLen > 0) {
        written = direction == ReencodeDirection::kToUTF8
                      ? VESKMBCodePageto8(converter, dest, width, src, srcLen, &status)
                      : VESKMB8toCodePage(converter, dest, width, src, srcLen, &status);
    }
    std::memset(dest + written, ' ', room - written);
    return status;
}

// The dictionary-text side of a conversion: whole texts, attribute
// collections and value-label maps, noting any loss in the body.
class DictionaryConverter {
public:
    explicit DictionaryConverter(ReencodeBody& body) : fBody(body) {}

    std::string Text(const std::string& in) {
        std::string out;
        const int lost = fBody._direction == ReencodeDirection::kToUTF8
                             ? VESKMBCodePageToU8(fBody._converter, out, in)
                             : VESKMBU8ToCodePage(fBody._converter, out, in);
        if (lost) fBody._lostText = true;
        return out;
    }

    DatasourceAttributes Attributes(const DatasourceAttributes& in) {
        DatasourceAttributes out;
        for (uint64_t k = 0; k < in.Size(); ++k) {
            std::vector<std::string> values = in.Values(k);
            for (std::string& v : values) v = Text(v);
            out.Define(Text(in.Name(k)), values);
        }
        return out;
    }

    // A converted copy of a map; string values go into fields of newType bytes.
    VESK_VLImplPointer Map(const VESK_VLMapImpl& in, int newType) {
        const int type = in.GetType() == 0 ? 0 : newType;
        VESK_VLImplPointer out(new VESK_VLMapImpl(type));
        std::vector<OBS> cells(size_t(CellsForType(type)));
        for (const ValueLabel& pair : in.Pairs()) {
            const OBS* value = pair.value.data();
            if (type != 0) {
                const size_t srcLen = std::min(size_t(in.GetType()), pair.value.size() * sizeof(OBS));
                if (ConvertField(fBody._direction, fBody._converter, cells[0].c, size_t(type),
                                 cells.size() * sizeof(OBS), pair.value[0].c, srcLen))
                    fBody._lostText = true;
                value = cells.data();
            }
            out->Insert(value, Text(pair.label));
        }
        return out;
    }

    void Sets(std::vector<VariableSetImpl>& sets) {
        for (VariableSetImpl& set : sets) {
            set.Name(Text(set.Name()));
            set.Label(Text(set.Label()));
            set.Value(Text(set.Value()));
        }
    }

private:
    ReencodeBody& fBody;
};

// String missing values whose converted form still fits in one cell; the
// others are dropped.
void ConvertStringMissing(VESK_Variable& var, DictionaryConverter& dc) {
    const OBS* given[3];
    const int rule = var.GetMissingValues(given[0], given[1], given[2]);
    if (rule <= 0) return;
    OBS kept[3];
    int n = 0;
    for (int k = 0; k < rule && k < 3; ++k) {
        const std::string text(given[k]->c, TrimmedLength(given[k]->c, kMissingValueBytes));
        const std::string converted = dc.Text(text);
        if (converted.size() > kMissingValueBytes) continue;
        std::memset(kept[n].c, ' ', kMissingValueBytes);
        std::memcpy(kept[n].c, converted.data(), converted.size());
        ++n;
    }
    var.SetMissingValues(n, &kept[0], &kept[1], &kept[2]);
}

void AddToPlan(std::vector<CodePageColumn>& plan, int32_t& nextStart, int width, int newWidth) {
    if (width == 0) {
        if (!plan.empty() && plan.back().width == 0)
            ++plan.back().cells;
        else
            plan.push_back({nextStart, 1, 0});
        nextStart += 1;
    } else {
        plan.push_back({nextStart, CellsForType(newWidth), int32_t(width)});
        nextStart += CellsForType(width);
    }
}

}  // namespace

ReencodeBody::~ReencodeBody() {
    if (_converter) VESKMBConverterDelete_A(_converter);
}

int ReencodedWidth(ReencodeDirection direction, int width) {
    if (direction == ReencodeDirection::kToCodePage || width <= 0) return width;
    return std::min(3 * width, MAX_STRING_TYPE);
}

void ReencodeDictionary(VESK_DataSource& source, ReencodeBody& body, ErrorMonitor* fixNamesMonitor) {
    VESK_ASSERT(body._converter);
    DictionaryConverter dc(body);

    if (const char* label = source.GetLabel()) source.SetLabel(dc.Text(label).c_str());
    if (source.GetAttributes().Size() > 0) source.SetAttributes(dc.Attributes(source.GetAttributes()));

    // Maps shared by several variables are converted once and stay shared.
    std::map<VESK_VLImplPointer, VESK_VLImplPointer> convertedMaps;
    body._plan.clear();
    int32_t nextStart = 0;
    const unsigned columns = source.ColumnCount();
    for (unsigned i = 0; i < columns; ++i) {
        VESK_Variable var = source.GetVariable(int(i));
        const int width = var.GetType();
        const int newWidth = ReencodedWidth(body._direction, width);

        // A variable that keeps every property keeps sharing its body with the
        // parent: a wide dictionary of plain names is not copied.
        const std::string name = dc.Text(var.GetName());
        if (name != var.GetName()) var.SetName(name.c_str(), unsigned(name.size()));
        if (const char* label = var.GetLabel()) {
            const std::string converted = dc.Text(label);
            var.SetLabel(converted.c_str(), unsigned(converted.size()));
        }
        if (width > 0) ConvertStringMissing(var, dc);

        const VESK_VLImplPointer& labels = var.GetValueLabels();
        if (labels.get()) {
            auto it = convertedMaps.find(labels);
            if (it == convertedMaps.end())
                it = convertedMaps.emplace(labels, dc.Map(*labels, width > 0 ? newWidth : 0)).first;
            var.SetValueLabels(it->second);
        }
        if (var.GetAttributes().Size() > 0) var.SetAttributes(dc.Attributes(var.GetAttributes()));

        AddToPlan(body._plan, nextStart, width, newWidth);
        if (newWidth != width) var.SetType(newWidth);
        source.SetVariable(long(i), var);
    }

    SystemFileDataSource::FixVarNames(source, fixNamesMonitor);

    std::vector<VariableSetImpl> mrSets = source.GetMRSets();
    dc.Sets(mrSets);
    source.SetMRSets(mrSets);
    std::vector<VariableSetImpl> varSets = source.GetVariableSets();
    dc.Sets(varSets);
    source.SetVariableSets(varSets);
}

void ReencodeCase(const ReencodeBody& body, const VESKMBConverter* converter, const OBS* from, OBS* to) {
    OBS* target = to;
    for (const CodePageColumn& entry : body._plan) {
        const size_t room = size_t(entry.cells) * sizeof(OBS);
        if (entry.width == 0) {
            std::memcpy(target, from + entry.start, room);
        } else {
            const int width = uint16_t(entry.width);
            ConvertField(body._direction, converter, target->c, size_t(ReencodedWidth(body._direction, width)),
                         room, from[entry.start].c, size_t(width));
        }
        target += entry.cells;
    }
}

VESKMBConverter* NewReencodeConverter(const ReencodeBody& body) {
    VESKMBConverter* converter = VESKMBConverterNew_A(body._encoding.c_str());
    VESK_ASSERT(converter);
    return converter;
}

// ---------------------------------------------------------------- iterator

namespace {

// Reads the parent's cases into a case of its own and converts the strings across.
class ReencodeIterator : public VESK_InputCaseIterator {
public:
    ReencodeIterator(const VESK_DataSource& source, const ReencodeBody& body, OBS* buffer)
        : VESK_InputCaseIterator(source, buffer), fBody(body), fConverter(NewReencodeConverter(body)) {
        try {
            fParentIter = source.GetParentSource()->MakeIterator(nullptr);
        } catch (...) {
            VESKMBConverterDelete_A(fConverter);
            throw;
        }
        SetParent(fParentIter);
    }
    ~ReencodeIterator() override {
        delete fParentIter;
        GetCase().SetParent(nullptr);
        VESKMBConverterDelete_A(fConverter);
    }

    int IsSeekOK() override { return fParentIter->IsSeekOK(); }
    int Seek(int64_t row) override { return fParentIter->Seek(row); }
    int64_t Tell() const override { return fParentIter->Tell(); }

private:
    int Next() override {
        const int result = fParentIter->NextCase();
        if (result) ReencodeCase(fBody, fConverter, fParentIter->GetCase().Cells(), GetCase().Cells());
        return result;
    }

    const ReencodeBody& fBody;
    VESKMBConverter* fConverter;                    // owned
    VESK_InputCaseIterator* fParentIter = nullptr;  // owned
};

}  // namespace

VESK_InputCaseIterator* MakeReencodeIterator(const VESK_DataSource& source, const ReencodeBody& body, OBS* buffer) {
    return new ReencodeIterator(source, body, buffer);
}

#include "sysfilebuilder.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

using namespace SysFileLayout;

// ---------------------------------------------------------------- Cells

Cells& Cells::Num(double value) {
    OBS c;
    c.d = value;
    fCells.push_back(c);
    return *this;
}

Cells& Cells::Str(std::string_view text, int width) {
    const size_t bytes = size_t(CellsForType(width)) * kCellSize;
    std::string padded(text.substr(0, std::min(text.size(), bytes)));
    padded.resize(bytes, ' ');
    for (size_t i = 0; i < bytes; i += kCellSize) {
        OBS c;
        std::memcpy(c.c, padded.data() + i, kCellSize);
        fCells.push_back(c);
    }
    return *this;
}

// ---------------------------------------------------------------- SysFileBuilder

SysFileBuilder::SysFileBuilder(ByteOrder order) : fOrder(order) {}

SysFileBuilder& SysFileBuilder::Header(const HeaderSpec& spec) {
    if (fHeaderWritten) throw std::logic_error("header written twice");
    fHeader = spec;
    SystemFileHeader h;
    const std::string magic = !spec.magic.empty() ? spec.magic
                              : spec.compression == kCompressZlib ? kMagicZlib
                                                                  : kMagicPlain;
    std::memcpy(h.magic, (magic + "    ").data(), kMagicSize);
    h.product = spec.product;
    h.layoutCode = spec.layoutCode;
    h.nominalCaseSize = spec.nominalCaseSize.value_or(0);
    h.compression = spec.compression;
    h.weightIndex = spec.weightIndex;
    h.caseCount = spec.caseCount.value_or(-1);
    h.bias = spec.bias;
    std::memcpy(h.date, (spec.date + std::string(kDateSize, ' ')).data(), kDateSize);
    std::memcpy(h.time, (spec.time + std::string(kTimeSize, ' ')).data(), kTimeSize);
    h.label = spec.label;
    unsigned char bytes[kHeaderSize];
    h.Encode(bytes, fOrder);
    Append(bytes, kHeaderSize);
    fHeaderWritten = true;
    return *this;
}

void SysFileBuilder::EnsureHeader() {
    if (!fHeaderWritten) Header(HeaderSpec{});
}

SysFileBuilder& SysFileBuilder::Variable(const Var& var) {
    EnsureHeader();
    SystemFileVariableRecord r;
    r.type = var.type;
    r.hasLabel = var.label ? 1 : 0;
    const int32_t given = int32_t(var.type == 0 ? var.missing.size() : var.missingText.size());
    r.missingCount = var.missingCount.value_or(given);
    const uint32_t defaultFormat = var.type == 0 ? EncodeFormatWord(5, 8, 2) : EncodeFormatWord(1, var.type, 0);
    r.printFormat = var.print.value_or(defaultFormat);
    r.writeFormat = var.write.value_or(defaultFormat);
    r.SetName(var.name);
    I32(kRecVariable);
    unsigned char fixed[kVarFixedSize];
    r.Encode(fixed, fOrder);
    Append(fixed, kVarFixedSize);
    if (var.label) {
        I32(int32_t(var.label->size()));
        Padded(*var.label, VarLabelStoredSize(var.label->size()));
    }
    if (var.type == 0) {
        for (double v : var.missing) F64(v);
    } else {
        for (const std::string& t : var.missingText) Padded(t, kCellSize);
    }
    fPositions.emplace_back(var.name, CellCount() + 1);
    fNumericCell.push_back(var.type == 0);
    if (var.continuations && var.type > 0) {
        for (int i = 1; i < CellsForType(var.type); ++i) Continuation();
    }
    return *this;
}

SysFileBuilder& SysFileBuilder::Continuation() {
    EnsureHeader();
    I32(kRecVariable);
    unsigned char fixed[kVarFixedSize];
    SystemFileVariableRecord::Continuation().Encode(fixed, fOrder);
    Append(fixed, kVarFixedSize);
    fNumericCell.push_back(false);
    return *this;
}

int SysFileBuilder::PositionOf(const std::string& name) const {
    for (const auto& [n, position] : fPositions)
        if (n == name) return position;
    throw std::invalid_argument("no variable " + name);
}

SysFileBuilder& SysFileBuilder::ValueLabelRecord(const std::vector<std::pair<OBS, std::string>>& labels,
                                                 bool numeric) {
    EnsureHeader();
    I32(kRecValueLabels).I32(int32_t(labels.size()));
    for (const auto& [value, label] : labels) {
        if (numeric) F64(value.d);
        else Raw(value.c, kValueLabelValueSize);
        const size_t k = std::min(label.size(), kMaxValueLabelLength);
        const unsigned char length = static_cast<unsigned char>(k);
        Raw(&length, 1);
        Padded(std::string_view(label).substr(0, k), ValueLabelStoredSize(k) - 1);
    }
    return *this;
}

SysFileBuilder& SysFileBuilder::ValueLabelVarRecord(const std::vector<int32_t>& positions) {
    EnsureHeader();
    I32(kRecValueLabelVars).I32(int32_t(positions.size()));
    for (int32_t p : positions) I32(p);
    return *this;
}

SysFileBuilder& SysFileBuilder::ValueLabels(const std::vector<std::pair<double, std::string>>& labels,
                                            const std::vector<int32_t>& positions) {
    std::vector<std::pair<OBS, std::string>> cells;
    for (const auto& [value, label] : labels) {
        OBS c;
        c.d = value;
        cells.emplace_back(c, label);
    }
    return ValueLabelRecord(cells, true).ValueLabelVarRecord(positions);
}

SysFileBuilder& SysFileBuilder::StringValueLabels(const std::vector<std::pair<std::string, std::string>>& labels,
                                                  const std::vector<int32_t>& positions) {
    std::vector<std::pair<OBS, std::string>> cells;
    for (const auto& [value, label] : labels) {
        OBS c;
        std::memset(c.c, ' ', kCellSize);
        std::memcpy(c.c, value.data(), std::min(value.size(), kCellSize));
        cells.emplace_back(c, label);
    }
    return ValueLabelRecord(cells, false).ValueLabelVarRecord(positions);
}

SysFileBuilder& SysFileBuilder::Documents(const std::vector<std::string>& lines) {
    EnsureHeader();
    I32(kRecDocument).I32(int32_t(lines.size()));
    for (const std::string& line : lines) Padded(line, kDocumentLineSize);
    return *this;
}

SysFileBuilder& SysFileBuilder::Extension(int32_t subtype, int32_t unitSize, int32_t unitCount,
                                          const void* contents) {
    EnsureHeader();
    I32(kRecExtension).I32(subtype).I32(unitSize).I32(unitCount);
    return Raw(contents, size_t(unitSize) * size_t(unitCount));
}

SysFileBuilder& SysFileBuilder::ExtensionInts(int32_t subtype, const std::vector<int32_t>& values) {
    std::vector<unsigned char> bytes(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i) fOrder.PutI32(bytes.data() + 4 * i, values[i]);
    return Extension(subtype, 4, int32_t(values.size()), bytes.data());
}

SysFileBuilder& SysFileBuilder::ExtensionDoubles(int32_t subtype, const std::vector<double>& values) {
    std::vector<unsigned char> bytes(values.size() * 8);
    for (size_t i = 0; i < values.size(); ++i) fOrder.PutF64(bytes.data() + 8 * i, values[i]);
    return Extension(subtype, 8, int32_t(values.size()), bytes.data());
}

SysFileBuilder& SysFileBuilder::ExtensionText(int32_t subtype, std::string_view text) {
    return Extension(subtype, 1, int32_t(text.size()), text.data());
}

SysFileBuilder& SysFileBuilder::End() {
    EnsureHeader();
    I32(kRecTermination).I32(kTerminationFiller);
    fDataStart = fBytes.size();
    return *this;
}

namespace {

// The code of one numeric cell as a writer would choose it.
uint8_t CodeOf(double v, uint64_t bits) {
    if (bits == VESK_SYSMIS_BITS) return 255;
    if (bits == 0x2020202020202020ull) return 254;
    if (v >= -99 && v <= 151 && v == std::floor(v) && !(v == 0 && std::signbit(v))) return uint8_t(int(v) + 100);
    return 253;
}

}  // namespace

SysFileBuilder& SysFileBuilder::Row(const std::vector<OBS>& cells) {
    if (fDataStart == 0) throw std::logic_error("rows come after End()");
    ++fRows;
    for (size_t i = 0; i < cells.size(); ++i) {
        const bool numeric = i >= fNumericCell.size() || fNumericCell[i];
        OBS stored = cells[i];
        if (numeric) SysFileLayout::FixCell(fOrder, stored);
        if (fHeader.compression == kCompressNone) {
            Raw(stored.c, kCellSize);
            continue;
        }
        if (fHeader.compression != kCompressBytecode) throw std::logic_error("rows of compression 0 or 1 only");
        // String cells are coded only when they are blank: a writer may always store a cell raw.
        const uint8_t code = numeric ? CodeOf(cells[i].d, cells[i].bits)
                             : cells[i].bits == 0x2020202020202020ull ? 254
                                                                       : 253;
        fCommands.push_back(code);
        if (code == 253) fRawCells.insert(fRawCells.end(), stored.c, stored.c + kCellSize);
        if (fCommands.size() == 8) {
            AppendBlock(fBytes);
            fCommands.clear();
            fRawCells.clear();
        }
    }
    return *this;
}

void SysFileBuilder::AppendBlock(std::vector<uint8_t>& out) const {
    std::vector<uint8_t> commands = fCommands;
    commands.resize(8, 0);  // a block cut short is padded with code 0
    out.insert(out.end(), commands.begin(), commands.end());
    out.insert(out.end(), fRawCells.begin(), fRawCells.end());
}

SysFileBuilder& SysFileBuilder::I32(int32_t v) {
    unsigned char b[4];
    fOrder.PutI32(b, v);
    Append(b, 4);
    return *this;
}

SysFileBuilder& SysFileBuilder::F64(double v) {
    unsigned char b[8];
    fOrder.PutF64(b, v);
    Append(b, 8);
    return *this;
}

SysFileBuilder& SysFileBuilder::Raw(const void* bytes, size_t size) {
    Append(static_cast<const unsigned char*>(bytes), size);
    return *this;
}

SysFileBuilder& SysFileBuilder::Padded(std::string_view text, size_t width) {
    std::string field(text.substr(0, std::min(text.size(), width)));
    field.resize(width, ' ');
    return Raw(field.data(), width);
}

std::vector<uint8_t> SysFileBuilder::Bytes() const {
    std::vector<uint8_t> out = fBytes;
    if (out.size() >= kHeaderSize) {
        if (!fHeader.nominalCaseSize) fOrder.PutI32(out.data() + kOffNominalCaseSize, CellCount());
        if (!fHeader.caseCount) fOrder.PutI32(out.data() + kOffCaseCount, fRows);
    }
    if (!fCommands.empty()) AppendBlock(out);
    return out;
}

std::string SysFileBuilder::Str() const {
    const std::vector<uint8_t> b = Bytes();
    return std::string(b.begin(), b.end());
}

void SysFileBuilder::WriteTo(const std::string& path) const {
    const std::vector<uint8_t> b = Bytes();
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

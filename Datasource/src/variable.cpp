// The variable handle: reads go to the shared body, changes to a private copy.
#define VESK_SOURCE_NAME "Datasource/src/variable"

#include <cstring>

#include "variable.h"
#include "vesk_assert.h"

#define CHECK_IMPL() VESK_ASSERT(fpImpl.IsValid())

VESK_Variable::VESK_Variable(int type) : fpImpl(new VESK_VariableImpl(type)) {
    if (type >= 51) fpImpl->SetDisplayWidth(50);
}

const std::string& VESK_Variable::GetName() const {
    CHECK_IMPL();
    return fpImpl->GetName();
}

const std::string& VESK_Variable::GetUpperCaseName() const {
    CHECK_IMPL();
    return fpImpl->GetUpperCaseName();
}

void VESK_Variable::SetName(const char* name) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetName(name, name ? unsigned(std::strlen(name)) : 0u);
}

void VESK_Variable::SetName(const char* name, unsigned length) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetName(name, length);
}

int VESK_Variable::GetType() const {
    CHECK_IMPL();
    return fpImpl->GetType();
}

void VESK_Variable::SetType(int type) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetType(type);
}

// ------------------------------------------------------------------ formats

namespace {

// Widths above 40 are cut to 40 except for the string codes.
int32_t PackLimited(int code, int width, int decimals) {
    if (width > 40 && code != VESK_Variable::eFmtString && code != VESK_Variable::eFmtHexString) width = 40;
    return VESK_VariableImpl::PackFormat(code, width, decimals);
}

void Split(const VESK_Format& f, VESK_Variable::FormatType& code, int& width, int& decimals) {
    code = VESK_Variable::FormatType(f.code);
    width = f.width;
    decimals = f.decimals;
}

}  // namespace

void VESK_Variable::SetFormat(VESK_Format format) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetFormat(VESK_VariableImpl::PackFormat(format.code, format.width, format.decimals));
}

void VESK_Variable::SetFormat(FormatType code, int width, int decimals) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetFormat(PackLimited(code, width, decimals));
}

VESK_Format VESK_Variable::GetFormat() const {
    CHECK_IMPL();
    return VESK_VariableImpl::UnpackFormat(fpImpl->GetFormat());
}

void VESK_Variable::GetFormat(FormatType& code, int& width, int& decimals) const {
    Split(GetFormat(), code, width, decimals);
}

void VESK_Variable::SetWriteFormat(VESK_Format format) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetWriteFormat(
        VESK_VariableImpl::PackFormat(format.code, format.width, format.decimals));
}

void VESK_Variable::SetWriteFormat(FormatType code, int width, int decimals) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetWriteFormat(PackLimited(code, width, decimals));
}

VESK_Format VESK_Variable::GetWriteFormat() const {
    CHECK_IMPL();
    return VESK_VariableImpl::UnpackFormat(fpImpl->GetWriteFormat());
}

void VESK_Variable::GetWriteFormat(FormatType& code, int& width, int& decimals) const {
    Split(GetWriteFormat(), code, width, decimals);
}

// ------------------------------------------------------------------ labels

void VESK_Variable::SetLabel(const char* label) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetLabel(label, label ? unsigned(std::strlen(label)) : 0u);
}

void VESK_Variable::SetLabel(const char* label, unsigned length) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetLabel(label, length);
}

const char* VESK_Variable::GetLabel() const {
    CHECK_IMPL();
    return fpImpl->GetLabel();
}

std::string VESK_Variable::GetPreferredLabel() const {
    CHECK_IMPL();
    const VESK_VarLabel* label = fpImpl->GetVarLabelPtr();
    return label ? std::string(*label) : fpImpl->GetName();
}

// ------------------------------------------------------------------ missing values

int VESK_Variable::GetMissingValues(const OBS*& v1, const OBS*& v2, const OBS*& v3) const {
    CHECK_IMPL();
    return fpImpl->GetMissingValues(v1, v2, v3);
}

void VESK_Variable::SetMissingValues(int rule, const OBS* v1, const OBS* v2, const OBS* v3) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetMissingValues(rule, v1, v2, v3);
}

void VESK_Variable::SetMissingValues(const OBS* v1, const OBS* v2, const OBS* v3) {
    CHECK_IMPL();
    int rule = int(v1 != nullptr) + int(v2 != nullptr) + int(v3 != nullptr);
    fpImpl.Unshared()->SetMissingValues(rule, v1, v2, v3);
}

void VESK_Variable::SetMissingValues(const double* v1, const double* v2, const double* v3) {
    CHECK_IMPL();
    VESK_ASSERT(v1 == 0 || GetType() == 0);
    VESK_ASSERT(int(v2!=0) >= int(v3!=0));
    VESK_ASSERT(int(v1!=0) >= int(v2!=0));
    OBS cells[3];
    const double* given[3] = {v1, v2, v3};
    int rule = 0;
    for (int k = 0; k < 3; ++k) {
        cells[k].bits = 0;
        if (given[k]) {
            cells[k].d = *given[k];
            ++rule;
        }
    }
    fpImpl.Unshared()->SetMissingValues(rule, &cells[0], &cells[1], &cells[2]);
}

void VESK_Variable::SetMissingValues(const char* v1, const char* v2, const char* v3) {
    CHECK_IMPL();
    VESK_ASSERT(v1 == 0 || GetType() != 0);
    VESK_ASSERT(int(v2!=0) >= int(v3!=0));
    VESK_ASSERT(int(v1!=0) >= int(v2!=0));
    OBS cells[3];
    const char* given[3] = {v1, v2, v3};
    int rule = 0;
    for (int k = 0; k < 3; ++k) {
        std::memset(cells[k].c, ' ', 8);
        if (given[k]) {
            std::memcpy(cells[k].c, given[k], strnlen(given[k], 8));
            ++rule;
        }
    }
    fpImpl.Unshared()->SetMissingValues(rule, &cells[0], &cells[1], &cells[2]);
}

void VESK_Variable::SetMissingRange(const double* low, const double* high, const double* discrete) {
    CHECK_IMPL();
    VESK_ASSERT(GetType() == 0);
    OBS cells[3];
    cells[0].d = low ? *low : -std::numeric_limits<double>::max();
    cells[1].d = high ? *high : std::numeric_limits<double>::max();
    cells[2].bits = 0;
    if (discrete) cells[2].d = *discrete;
    fpImpl.Unshared()->SetMissingValues(discrete ? eMissRangeAndDiscrete : eMissRange, &cells[0], &cells[1],
                                        &cells[2]);
}

int VESK_Variable::IsMissing(const OBS* cell) const {
    CHECK_IMPL();
    return fpImpl->IsMissing(cell);
}

int VESK_Variable::IsMissing(const double& value) const {
    CHECK_IMPL();
    OBS cell;
    cell.d = value;
    return fpImpl->IsMissing(&cell);
}

int VESK_Variable::IsMissing(const char* text) const {
    CHECK_IMPL();
    if (text == nullptr) return 0;
    return fpImpl->IsMissing(std::string(text));
}

// ------------------------------------------------------------------ display properties

VESK_Variable::Alignment VESK_Variable::GetAlignment() const {
    CHECK_IMPL();
    return fpImpl->GetAlignment();
}

void VESK_Variable::SetAlignment(Alignment a) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetAlignment(a);
}

VESK_Variable::Role VESK_Variable::GetRole() const {
    CHECK_IMPL();
    return fpImpl->GetRole();
}

void VESK_Variable::SetRole(Role r) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetRole(r);
}

short VESK_Variable::GetDisplayWidth() const {
    CHECK_IMPL();
    return fpImpl->GetDisplayWidth();
}

void VESK_Variable::SetDisplayWidth(short w) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetDisplayWidth(w);
}

VESK_Variable::MeasurementLevel VESK_Variable::GetMeasurementLevel() const {
    CHECK_IMPL();
    return fpImpl->GetMeasurementLevel();
}

void VESK_Variable::SetMeasurementLevel(MeasurementLevel m) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetMeasurementLevel(m);
}

// ------------------------------------------------------------------ value labels, ids, attributes

const VESK_VLImplPointer& VESK_Variable::GetValueLabels() const {
    CHECK_IMPL();
    return fpImpl->GetValueLabels();
}

void VESK_Variable::SetValueLabels(const VESK_VLImplPointer& labels) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetValueLabels(labels);
}

bool VESK_Variable::IsObsolete() const {
    CHECK_IMPL();
    return fpImpl->IsObsolete();
}

LocallyUniqueID VESK_Variable::GetID() const {
    CHECK_IMPL();
    return fpImpl->GetID();
}

void VESK_Variable::SetID(LocallyUniqueID id) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetID(id);
}

void VESK_Variable::NewID() {
    CHECK_IMPL();
    fpImpl.Unshared()->NewID();
}

const DatasourceAttributes& VESK_Variable::GetAttributes() const {
    static const DatasourceAttributes empty;
    return fpImpl.IsValid() ? fpImpl->GetAttributes() : empty;
}

void VESK_Variable::SetAttributes(const DatasourceAttributes& attributes) {
    CHECK_IMPL();
    fpImpl.Unshared()->SetAttributes(attributes);
}

bool VESK_Variable::operator==(const VESK_Variable& other) const {
    CHECK_IMPL();
    VESK_ASSERT(other.fpImpl.IsValid());
    return *fpImpl == *other.fpImpl;
}

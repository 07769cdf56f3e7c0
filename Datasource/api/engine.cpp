// The engine-facing plumbing of the vesk:: layer: the process-wide lock, the
// encoding switch and the translation of library errors.
#include "api_internal.h"

#include "datasrc.h"
#include "textmb.h"

namespace vesk {

Error::Error(int code, const std::string& message, std::vector<std::string> args)
    : std::runtime_error(message), fCode(code), fArgs(std::move(args)) {}

// The public numbers are the library's.
static_assert(errc::kWrongOrder == int(DatasrcMsg::WrongTime));
static_assert(errc::kValueType == int(DatasrcMsg::ValueType));
static_assert(errc::kValueLabelType == int(DatasrcMsg::ValueLabelType));
static_assert(errc::kBadDefinition == int(DatasrcMsg::BadDefinition));
static_assert(errc::kNoSuchVariable == int(DatasrcMsg::NoSuchVariable));
static_assert(errc::kUnknownEncoding == int(DatasrcMsg::UnknownEncoding));
static_assert(errc::kDuplicateName == int(DatasrcMsg::DuplicateName));
static_assert(errc::kInvalidName == int(DatasrcMsg::InvalidName));

namespace detail {

std::unique_lock<std::recursive_mutex> LockEngine() {
    static std::recursive_mutex engine;
    return std::unique_lock<std::recursive_mutex>(engine);
}

EncodingScope::EncodingScope(const std::string& encoding)
    : fCodePage(VESKMBCurrentConverterName_A()), fUTF8Mode(qUTF8mode()) {
    if (VESKMBqSameCodePage(encoding.c_str(), "UTF-8")) {
        SetUTF8mode(1);
        return;
    }
    if (!VESKMBConverterSet_A(encoding.c_str())) Fail(DatasrcMsg::UnknownEncoding, {encoding});
    SetUTF8mode(0);
}

EncodingScope::~EncodingScope() {
    VESKMBConverterSet_A(fCodePage.c_str());
    SetUTF8mode(fUTF8Mode);
}

void ChainDeleter::operator()(VESK_DataSource* source) const {
    const auto lock = LockEngine();
    DeleteLine(source);
}

Error Translate(const VeskError& e) { return Error(e.Number(), e.what(), e.Args()); }

void Fail(DatasrcMsg number, std::vector<std::string> args) {
    throw Translate(VeskError(DATASRC_ERR, int(number), std::move(args)));
}

std::string_view TrimBlanks(const char* text, size_t n) {
    while (n > 0 && text[n - 1] == ' ') --n;
    return std::string_view(text, n);
}

}  // namespace detail
}  // namespace vesk

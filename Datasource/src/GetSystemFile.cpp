// Opening a system file for a session whose encoding may differ from the
// file's: GetSystemFile puts a re-encoding source over the reader when needed.
// It sits above both the reader and the converting sources, which therefore
// need not know each other.
#define VESK_SOURCE_NAME "Datasource/src/GetSystemFile"

#include <memory>
#include <string>

#include "CodePageDataSource.h"
#include "SystemFileDataSource.h"
#include "UTF8DataSource.h"
#include "errortext.h"
#include "textmb.h"

namespace {

// Saves the process's code page and UTF-8 mode and puts them back when it goes.
class EncodingSettings {
public:
    EncodingSettings() : fCodePage(VESKMBCurrentConverterName_A()), fUTF8Mode(qUTF8mode()) {}
    ~EncodingSettings() {
        VESKMBConverterSet_A(fCodePage.c_str());
        SetUTF8mode(fUTF8Mode);
    }
    EncodingSettings(const EncodingSettings&) = delete;
    EncodingSettings& operator=(const EncodingSettings&) = delete;

private:
    std::string fCodePage;
    int fUTF8Mode;
};

bool HasConverter(const std::string& encoding) {
    VESKMBConverter* converter = VESKMBConverterNew_A(encoding.c_str());
    VESKMBConverterDelete_A(converter);
    return converter != nullptr;
}

}  // namespace

VESK_DataSource* SystemFileDataSource::GetSystemFile(const ExtNameStr& file, const ExtNameStr& password,
                                                     bool mangled, ErrorMonitor* monitor) {
    std::unique_ptr<SystemFileDataSource> reader(new SystemFileDataSource(file, password, mangled));
    const std::string encoding = reader->CharacterEncoding();
    if (reader->IsCompatibleEncoding()) {
        reader->SetDirty(false);
        return reader.release();
    }
    // A UTF-8 process sees a code-page file in UTF-8; a code-page process sees
    // a UTF-8 file in its code page. The file is read again in its own
    // encoding so that the reader's name checks and case mapping suit it.
    const bool toUTF8 = qUTF8mode() != 0;
    const bool fromUTF8 = VESKMBqSameCodePage(encoding.c_str(), "UTF-8") != 0;
    const std::string codePage = toUTF8 ? encoding : std::string(VESKMBDefaultCodePage());
    // An encoding without a converter is reported like one that cannot be shown.
    if (!(toUTF8 || fromUTF8) || !HasConverter(codePage)) {
        if (monitor) VeskReportWarning(monitor, DatasrcMsg::EncodingNotShown, {file.GetGeneric(), encoding}, 0);
        reader->SetDirty(false);
        return reader.release();
    }
    reader.reset();
    {
        EncodingSettings saved;
        if (toUTF8) {
            if (!encoding.empty()) VESKMBConverterSet_A(encoding.c_str());
            SetUTF8mode(0);
        } else {
            SetUTF8mode(1);
        }
        reader.reset(new SystemFileDataSource(file, password, false));
    }
    reader->SetFileSpec(file);
    std::unique_ptr<VESK_DataSource> converted;
    if (toUTF8)
        converted.reset(new UTF8DataSource(*reader, encoding, monitor));
    else
        converted.reset(new CodePageDataSource(*reader, codePage, monitor, false));
    reader.release();  // now the bottom of the converted source's chain
    converted->SetFileSpec(file);
    converted->SetDirty(false);
    return converted.release();
}

VESK_DataSource* SystemFileDataSource::GetSystemFile(const std::string& file, const std::string& password,
                                                     bool mangled, ErrorMonitor* monitor) {
    ExtNameStr pw;
    if (!password.empty()) pw.SetGeneric(password);
    return GetSystemFile(ExtNameStr(file.c_str()), pw, mangled, monitor);
}

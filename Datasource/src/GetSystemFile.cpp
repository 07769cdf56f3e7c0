// Opening a system file for a session whose encoding may differ from the
// file's: GetSystemFile puts a re-encoding source over the reader when needed.
// It sits above both the reader and the converting sources, which therefore
// need not know each other.
#define VESK_SOURCE_NAME "Datasource/src/GetSystemFile"

#include <exception>
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

std::string DefaultEncodingName() {
    return qUTF8mode() ? std::string("UTF-8") : std::string(VESKMBDefaultCodePage());
}

// How a file of some encoding is shown to this process.
struct Showing {
    bool compatible;  // as it is: the process's own encoding
    bool converted;   // through a converting source over a reader of codePage
    bool toUTF8;      // converted to UTF-8 (else from UTF-8 to the process's code page)
    std::string codePage;
};

// A UTF-8 process sees a code-page file in UTF-8; a code-page process sees a
// UTF-8 file in its code page. An encoding without a converter is shown as it
// is, like one that cannot be converted.
Showing ShowingOf(const std::string& encoding) {
    Showing s{VESKMBqSameCodePage(encoding.c_str(), DefaultEncodingName().c_str()) != 0, false,
              qUTF8mode() != 0, std::string()};
    if (s.compatible) return s;
    const bool fromUTF8 = VESKMBqSameCodePage(encoding.c_str(), "UTF-8") != 0;
    s.codePage = s.toUTF8 ? encoding : std::string(VESKMBDefaultCodePage());
    s.converted = (s.toUTF8 || fromUTF8) && HasConverter(s.codePage);
    return s;
}

// Reads the file in its own encoding, so that the reader's name checks and
// case mapping suit it.
std::unique_ptr<SystemFileDataSource> ReadInOwnEncoding(const ExtNameStr& file, const ExtNameStr& password,
                                                        const std::string& encoding, bool toUTF8) {
    EncodingSettings saved;
    if (toUTF8) {
        if (!encoding.empty()) VESKMBConverterSet_A(encoding.c_str());
        SetUTF8mode(0);
    } else {
        SetUTF8mode(1);
    }
    return std::make_unique<SystemFileDataSource>(file, password, false);
}

VESK_DataSource* Unconverted(std::unique_ptr<SystemFileDataSource> reader, const ExtNameStr& file,
                             const std::string& encoding, const Showing& showing, ErrorMonitor* monitor) {
    if (!showing.compatible && monitor)
        VeskReportWarning(monitor, DatasrcMsg::EncodingNotShown, {file.GetGeneric(), encoding}, 0);
    reader->SetDirty(false);
    return reader.release();
}

VESK_DataSource* Converted(std::unique_ptr<SystemFileDataSource> reader, const ExtNameStr& file,
                           const std::string& encoding, const Showing& showing, ErrorMonitor* monitor) {
    reader->SetFileSpec(file);
    std::unique_ptr<VESK_DataSource> converted;
    if (showing.toUTF8)
        converted.reset(new UTF8DataSource(*reader, encoding, monitor));
    else
        converted.reset(new CodePageDataSource(*reader, showing.codePage, monitor, false));
    reader.release();  // now the bottom of the converted source's chain
    converted->SetFileSpec(file);
    converted->SetDirty(false);
    return converted.release();
}

}  // namespace

// The encoding of a file without a password is learned from a scan of the
// dictionary records, so that the dictionary is read once, in the encoding it
// is shown in. An encrypted file is not scanned: opening it derives the key
// and deciphers the whole file, which a scan would do once more. Whatever the
// scan cannot settle goes the long way: a read in the process's encoding
// first, whose errors and encoding are then the ones that count.
VESK_DataSource* SystemFileDataSource::GetSystemFile(const ExtNameStr& file, const ExtNameStr& password,
                                                     bool mangled, ErrorMonitor* monitor) {
    std::string encoding;
    if (password.Empty() && ScanEncoding(file, password, mangled, encoding)) {
        const Showing showing = ShowingOf(encoding);
        if (showing.converted) {
            std::unique_ptr<SystemFileDataSource> reader;
            try {
                reader = ReadInOwnEncoding(file, password, encoding, showing.toUTF8);
            } catch (...) {
                // Raised as the read in the process's encoding would have raised it.
                const std::exception_ptr failure = std::current_exception();
                std::make_unique<SystemFileDataSource>(file, password, mangled);
                std::rethrow_exception(failure);
            }
            if (reader->CharacterEncoding() == encoding)
                return Converted(std::move(reader), file, encoding, showing, monitor);
        }
    }
    auto reader = std::make_unique<SystemFileDataSource>(file, password, mangled);
    encoding = reader->CharacterEncoding();
    const Showing showing = ShowingOf(encoding);
    if (!showing.converted) return Unconverted(std::move(reader), file, encoding, showing, monitor);
    reader.reset();
    reader = ReadInOwnEncoding(file, password, encoding, showing.toUTF8);
    return Converted(std::move(reader), file, encoding, showing, monitor);
}

VESK_DataSource* SystemFileDataSource::GetSystemFile(const std::string& file, const std::string& password,
                                                     bool mangled, ErrorMonitor* monitor) {
    ExtNameStr pw;
    if (!password.empty()) pw.SetGeneric(password);
    return GetSystemFile(ExtNameStr(file.c_str()), pw, mangled, monitor);
}

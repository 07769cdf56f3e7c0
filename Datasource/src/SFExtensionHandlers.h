// The library's own extension record handlers, one class per subtype, each
// defined in the file named after it. The registry registers their instances
// through the table in SystemFileExtensionRecord.cpp.
#pragma once

#include <cstdint>
#include <string>

#include "SystemFileException.h"
#include "SystemFileExtensionRecord.h"
#include "byteorder.h"
#include "sysfilelayout.h"

// Appends a 32-bit integer in the byte order the writer uses (the machine's).
inline void AppendI32(std::string& out, int32_t v) {
    char bytes[4];
    ByteOrder::Native().PutI32(bytes, v);
    out.append(bytes, 4);
}

#define VESK_DECLARE_EXTENSION_HANDLER(ClassName)                                                     \
    class ClassName final : public SystemFileExtensionHandler {                                     \
    public:                                                                                         \
        static ClassName& Instance();                                                               \
        void BuildRecord(const VESK_DataSource& source, SystemFileWriterContext* writer,            \
                         SystemFileExtensionRecord& rec) override;                                  \
        void ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,                       \
                         const SystemFileExtensionRecord& rec) override;                            \
    }

// 3: release numbers and machine codes, eight 32-bit units.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionSourceParametersInt);
// 4: system-missing, highest and lowest value, three doubles.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionSourceParametersDouble);
// 5: plain variable sets as text.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionVariableSets);
// 6: date (time-series) information.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionTrendsInfo);
// 7: category and plain dichotomy multiple-response sets as text.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionOrigMrSets);
// 11: measurement level, display width and alignment of every variable.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionLWA);
// 13: short name to long name pairs.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionExtNames);
// 14: widths of the very long string variables.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionExtStrings);
// 16: the 64-bit case count.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionNCases);
// 17: file custom attributes.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionDatasetAttributes);
// 18: variable custom attributes with role and measurement-level overflow.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionVariableAttributes);
// 19: enhanced dichotomy multiple-response sets as text.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionEnhancedMRSets);
// 20: the character encoding name.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionEncoding);
// 21: value labels of string variables wider than 8 bytes.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionVLExtStrings);
// 22: missing values of string variables wider than 8 bytes.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionMVExtStrings);
// 23: sort keys and the sparse sort index.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionSortCasesKey);
// 24: the data editor's formatting text.
VESK_DECLARE_EXTENSION_HANDLER(SFExtensionDEFormatting);

// Defines Instance(): the one static instance of the handler.
#define VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(ClassName) \
    ClassName& ClassName::Instance() {                    \
        static ClassName instance;                        \
        return instance;                                  \
    }

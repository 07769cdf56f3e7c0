// The body of a vesk::Reader, shared by the row and the columnar reading code.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "api_internal.h"
#include "case.h"

class SystemFileDataSource;

namespace vesk {

struct Reader::Impl {
    // Collects the library's warnings.
    struct Monitor : ErrorMonitor {
        void Report(const char* message, int severity) override;
        std::vector<std::string> fWarnings;
    };

    // Opens the file (see Reader::Reader).
    Impl(const std::string& path, const ReaderOptions& options);
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::optional<size_t> Find(std::string_view name) const;
    // Error 1244 when no variable has the name.
    size_t Column(std::string_view name) const;
    // Where the column stands; std::out_of_range beyond the dictionary, Error
    // 1241 when it is not of the kind asked for.
    const detail::CellSpan& Span(size_t column, bool numeric) const;
    // A new iterator over the source (the caller owns it).
    std::unique_ptr<VESK_InputCaseIterator> MakeIterator() const;

    std::string fPath;
    std::string fEncoding;
    Monitor fMonitor;  // given to the sources: lives as long as they do
    detail::SourceChain fSource;                   // top of the chain
    const SystemFileDataSource* fFile = nullptr;  // bottom of the chain
    std::vector<Variable> fVariables;
    std::vector<detail::CellSpan> fLayout;
    std::vector<detail::MissingTest> fMissing;
    std::unordered_map<std::string, size_t> fByName;
    Attributes fAttributes;
    std::optional<std::string> fLabel;
    // The cursor of read_into, kept between calls (and deleted before the source).
    mutable std::unique_ptr<VESK_InputCaseIterator> fBatchIter;

private:
    void Describe();
};

}  // namespace vesk

// Documents of a dataset: notes of fixed-width lines, each stamped with the
// date it was entered. All documents of a source are kept as one block of
// 80-byte lines in the source's extension of type 0; the free functions below
// convert between that block and a list of documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "refcount.h"
#include "vesk_export.h"

class VESK_DataSource;

// One document: its lines (at most 80 bytes each) and its date. Copies share
// the body; a change goes to a private copy (copy-on-write).
class VESK_EXPORT DSDocument {
public:
    class Impl : public VESK_RefCntObject {
    public:
        Impl() = default;
        Impl(const Impl&) = default;
        ~Impl() override = default;

        int32_t _year = 0;
        int32_t _month = 1;
        int32_t _day = 1;
        std::vector<std::string> _lines;
    };

    // Year 0, month 1, day 1, no lines.
    DSDocument();

    int Year() const { return _my->_year; }
    int Month() const { return _my->_month; }
    int Day() const { return _my->_day; }
    // A year below 100 is taken as 20yy below 64 and 19yy otherwise.
    void Year(int y);
    void Month(int mo);
    void Day(int da);

    int Size() const { return int(_my->_lines.size()); }
    const std::string& operator[](int which) const;
    // Unshares the body first.
    std::string& operator[](int which);
    // The line must be at most 80 bytes.
    void AddLine(const std::string& line);

    bool operator==(const DSDocument& other) const;
    bool operator!=(const DSDocument& other) const { return !(*this == other); }
    // By year, month, day, then the lines lexicographically.
    bool operator<(const DSDocument& other) const;

private:
    RefCountPtr<Impl> _my;
};

// Appends the line "   (Entered dd-Mon-yyyy)" for the document's date.
VESK_EXPORT void AddDateLine(DSDocument& doc);
// Replaces the source's type-0 extension by the documents' lines, each padded
// to 80 bytes, with a blank line between documents. Documents without lines
// are left out; with none the block is removed.
VESK_EXPORT void SaveDocuments(const std::vector<DSDocument>& docs, VESK_DataSource& source);
// The documents of the source's type-0 extension, in order; every line is
// returned as stored, 80 bytes long.
VESK_EXPORT std::vector<DSDocument> GetDocuments(const VESK_DataSource& source);
// Sorts the list and removes documents equal to the one before them.
VESK_EXPORT void DeDup(std::vector<DSDocument>& docs);

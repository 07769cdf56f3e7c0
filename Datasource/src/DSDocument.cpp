#define VESK_SOURCE_NAME "Datasource/src/DSDocument"

#include "DSDocument.h"

#include "vesk_assert.h"

DSDocument::DSDocument() : _my(new Impl) {}

void DSDocument::Year(int y) {
    if (y < 100) y += (y < 64) ? 2000 : 1900;
    _my.Unshared()->_year = y;
}

void DSDocument::Month(int mo) {
    VESK_ASSERT(0 < mo && mo < 13);
    _my.Unshared()->_month = mo;
}

void DSDocument::Day(int da) {
    VESK_ASSERT(0 < da && da < 32);
    _my.Unshared()->_day = da;
}

const std::string& DSDocument::operator[](int which) const {
    VESK_ASSERT_AT(0 <= which && size_t(which) < _my->_lines.size(),
                   "0 <= which && which < _my->_lines.size()", VESK_SOURCE_NAME);
    return _my->_lines[size_t(which)];
}

std::string& DSDocument::operator[](int which) {
    VESK_ASSERT_AT(0 <= which && size_t(which) < _my->_lines.size(),
                   "0 <= which && which < _my->_lines.size()", VESK_SOURCE_NAME);
    return _my.Unshared()->_lines[size_t(which)];
}

void DSDocument::AddLine(const std::string& line) {
    VESK_ASSERT(line.size() < 81);
    _my.Unshared()->_lines.push_back(line);
}

bool DSDocument::operator==(const DSDocument& other) const {
    const Impl& a = *_my;
    const Impl& b = *other._my;
    return a._year == b._year && a._month == b._month && a._day == b._day && a._lines == b._lines;
}

bool DSDocument::operator<(const DSDocument& other) const {
    const Impl& a = *_my;
    const Impl& b = *other._my;
    if (a._year != b._year) return a._year < b._year;
    if (a._month != b._month) return a._month < b._month;
    if (a._day != b._day) return a._day < b._day;
    return a._lines < b._lines;
}

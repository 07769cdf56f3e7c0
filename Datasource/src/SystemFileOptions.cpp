#include "SystemFileOptions.h"

#include <string_view>

#include "datasrc.h"

SystemFileOptions::SystemFileOptions()
    : _highest(VESK_DataSource::HighNumber()), _lowest(VESK_DataSource::LowNumber()) {}

std::vector<std::pair<std::string, std::string>>& SystemFileOptions::LongNames() {
    const std::string_view text = _longNamesText;
    size_t i = 0;
    while (i < text.size()) {
        const size_t equal = text.find('=', i);
        size_t end = text.find('\t', equal);
        if (end == std::string_view::npos) end = text.size();
        _longNames.emplace_back(text.substr(i, equal - i), text.substr(equal + 1, end - equal - 1));
        i = end + 1;
    }
    std::string().swap(_longNamesText);
    return _longNames;
}

#define VESK_SOURCE_NAME "Datasource/src/UTF8DataSource"

#include "UTF8DataSource.h"

#include "SystemFileDataSource.h"
#include "errortext.h"
#include "reencode.h"
#include "vesk_assert.h"

UTF8DataSource::UTF8DataSource(const VESK_DataSource& parent, const std::string& encoding, ErrorMonitor* monitor)
    : VESK_DataSource(&parent), _my(new ReencodeBody) {
    _my->_direction = ReencodeDirection::kToUTF8;
    _my->_encoding = encoding;
    _my->_converter = VESKMBConverterNew_A(encoding.c_str());
    VESK_ASSERT(_my->_converter);
    // Converted names may no longer be valid; replacements are reported.
    ReencodeDictionary(*this, *_my, monitor);
    if (_my->_lostText && monitor) VeskReportWarning(monitor, DatasrcMsg::TextNotConverted, {encoding});
    VESKMBConverterDelete_A(_my->_converter);
    _my->_converter = nullptr;
}

UTF8DataSource::~UTF8DataSource() = default;

VESK_InputCaseIterator* UTF8DataSource::MakeIterator(OBS* buffer) const { return MakeReencodeIterator(*this, *_my, buffer); }

int64_t UTF8DataSource::RowCount() const { return GetParentSource()->RowCount(); }

std::string UTF8DataSource::CharacterEncoding() const { return _my->_encoding; }
bool UTF8DataSource::LostText() const { return _my->_lostText; }
const std::vector<CodePageColumn>& UTF8DataSource::ColumnPlan() const { return _my->_plan; }

int UTF8DataSource::WidenedType(int width) { return ReencodedWidth(ReencodeDirection::kToUTF8, width); }

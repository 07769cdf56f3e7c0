#define VESK_SOURCE_NAME "Datasource/src/CodePageDataSource"

#include "CodePageDataSource.h"

#include "errortext.h"
#include "reencode.h"
#include "vesk_assert.h"

CodePageDataSource::CodePageDataSource(const VESK_DataSource& parent, const std::string& encoding,
                                       ErrorMonitor* monitor, bool saveUse)
    : VESK_DataSource(&parent), _my(new ReencodeBody) {
    _my->_direction = ReencodeDirection::kToCodePage;
    _my->_encoding = encoding;
    _my->_saveUse = saveUse;
    _my->_converter = VESKMBConverterNew_A(encoding.c_str());
    VESK_ASSERT(_my->_converter);
    ReencodeDictionary(*this, *_my, nullptr);
    if (_my->_lostText && monitor) {
        const char* spec = GetFileSpec();
        VeskReportWarning(monitor, _my->_saveUse ? DatasrcMsg::DataTextLost : DatasrcMsg::TextLost,
                          {spec && *spec ? spec : "the data", encoding});
    }
    VESKMBConverterDelete_A(_my->_converter);
    _my->_converter = nullptr;
}

CodePageDataSource::~CodePageDataSource() = default;

VESK_InputCaseIterator* CodePageDataSource::MakeIterator(OBS* buffer) const {
    return MakeReencodeIterator(*this, *_my, buffer);
}

int64_t CodePageDataSource::RowCount() const { return GetParentSource()->RowCount(); }

std::string CodePageDataSource::CharacterEncoding() const { return _my->_encoding; }
void CodePageDataSource::SetUseBySaveCodepage(bool saveUse) { _my->_saveUse = saveUse; }
bool CodePageDataSource::LostText() const { return _my->_lostText; }
const std::vector<CodePageColumn>& CodePageDataSource::ColumnPlan() const { return _my->_plan; }

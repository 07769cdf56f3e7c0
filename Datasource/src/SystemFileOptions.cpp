#include "SystemFileOptions.h"

#include "datasrc.h"

SystemFileOptions::SystemFileOptions()
    : _highest(VESK_DataSource::HighNumber()), _lowest(VESK_DataSource::LowNumber()) {}

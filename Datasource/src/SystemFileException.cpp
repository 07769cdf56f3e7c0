#include "SystemFileException.h"

#include "errortext.h"

void SystemFileException::Raise(const std::string& fileSpec) const {
    if (fSystemError) ThrowError::StringSys(DATASRC_ERR, fCode, fileSpec);
    ThrowError::String1(DATASRC_ERR, fCode, fileSpec);
}

// The save-file store and the one-call save of a data source.
#define VESK_SOURCE_NAME "Datasource/src/SaveFile"

#include "SaveFile.h"

#include <memory>

#include "case.h"
#include "vesk_assert.h"

SaveFile::SaveFile(const char* fileSpec, const char* password, bool mangled) {
    VESK_ASSERT(fileSpec != nullptr);
    SetFileSpec(fileSpec);
    SetReplaceOnClose(true);
    if (password) {
        ExtNameStr pw;
        pw.SetGeneric(password);
        SetPassword(pw);
        pw.Wipe();
    }
    SetPasswordMangled(mangled);
}

SaveFile::~SaveFile() = default;

VESK_InputCaseIterator* SaveFile::MakeIterator(OBS*) const {
    VESK_ASSERT(0 && "SaveFile::MakeIterator called");
    return nullptr;
}

void SaveSystemFile(const char* fileName, const VESK_DataSource& source, int compress) {
    VESK_ASSERT(fileName != nullptr);
    SystemFileDataSource out;
    out.CopyDictionary(source);
    out.SetCompression(compress != 0);
    out.SetFileSpec(fileName);
    out.SetReplaceOnClose(true);
    out.CommitDictionary();
    {
        std::unique_ptr<VESK_InputCaseIterator> pIter(source.MakeIterator(nullptr));
        VESK_ASSERT(pIter.get());
        const OBS* cells = pIter->GetObsPointer(0u);
        while (pIter->NextCase()) out.AddRow(cells);
    }
    out.Close();
}

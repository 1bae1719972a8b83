#pragma once

#include <cstdint>
#include <string>

#include "vell/diagnostic_log.h"

namespace brindle {

// The configuration a database is opened with. There is no way to change it: these defaults
// are the behaviour of every database, except that the data path is always replaced by the
// path the host opens. The field names are those of the configuration record's format.
struct ConfigRecord {
    ConfigRecord() : installPath(vell::GetInstallPath()), dataPath(installPath + "/Data/cdfile") {}

    // Page pool settings.
    int32_t maxFileSize = 2097152000;  // 0x7D000000
    int32_t pageSize = 1024;
    int32_t initialPageCount = 10;
    int32_t addPageCount = 1024;
    int32_t maxCheckPages = 20000;
    bool temporaryData = false;
    int32_t bufferInitial = 1000;
    int32_t dataBufferMax = 0;
    int32_t dataBufferKeepFree = 2000000;
    int32_t pageBufferMax = 0;
    int32_t pageBufferKeepFree = 2000000;
    int32_t maxCachedPages = 200000;
    int32_t pageTimeout = 60;
    int32_t checkPeriod = 30;

    std::string installPath;
    std::string dataPath;  // base path of the data files

    // Tree and main-key rules.
    std::string rootName = "ZRCONFIG -- ROOT";
    std::string systemMainKey = "ZRDM_SYSTEMNKEY";
    bool allowSystemMainKey = false;
    bool ignoreReadOnly = false;
    bool allowMainKeyChange = true;
    bool listHiddenMainKeys = false;
    bool denyMainKeyDelete = true;
};

}  // namespace brindle

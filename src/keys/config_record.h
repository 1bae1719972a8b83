#pragma once

#include <cstdint>
#include <string>

#include "pool/pool_head.h"
#include "pool/pool_options.h"
#include "vell/diagnostic_log.h"

namespace brindle {

// The page pool settings of a database: the pool's own defaults, but for a database's file
// size limit, its larger cache and check passes, and its enciphered pages (not a setting).
inline PoolOptions DatabasePoolOptions() {
    PoolOptions options;
    options.max_file_size = 2097152000;  // 0x7D000000
    options.max_check_pages = 20000;
    options.max_cached_pages = 200000;
    options.head_flags = kHeadEncrypted;
    return options;
}

// The configuration a database is opened with. There is no way to change it: these defaults
// are the behaviour of every database, except that the data path is always replaced by the
// path the host opens. The field names are those of the configuration record's format.
struct ConfigRecord {
    ConfigRecord() : installPath(vell::GetInstallPath()), dataPath(installPath + "/Data/cdfile") {}

    PoolOptions pool = DatabasePoolOptions();

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

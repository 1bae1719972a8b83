#pragma once

#include <cstdint>

namespace brindle {

// How far a committed change survives. Every level survives a killed process: a change is in
// the journal before its call returns. `kNormal` (the default) syncs the journal, the data
// files and their directory at each checkpoint, and a new database as it is created: a power
// cut loses at most the changes committed since the last completed checkpoint, never part of
// one, and never leaves a database that cannot be opened or that the structure check faults.
// `kFull` also syncs the journal at every commit: a change whose call returned survives a
// power cut. `kOff` never syncs: a power cut may lose recent changes or leave pages torn.
enum class Durability { kOff, kNormal, kFull };

// How this process holds the pool (the options of BRN_OpenFile).
//   kExclusive: the one writing process; others may open it kReadOnly.
//   kShared: one of several writing processes; each changing call or batch takes the pool's
//            write lock across processes and first takes in what the others committed.
//   kReadOnly: reads the latest committed state at each call; never writes, creates, replays
//              into or repairs anything of the pool.
enum class Access : uint8_t { kExclusive, kShared, kReadOnly };

// Why a pool could not be opened, for the host's result code.
enum class OpenFailure : uint8_t {
    kNone,
    kFailed,              // any other reason (a diagnostic line says which)
    kLocked,              // another process holds it kExclusive (or kShared, for kExclusive)
    kSharedByOthers,      // kExclusive asked while other processes hold it kShared
    kPermission,          // the files may not be opened as asked
    kNoDatabase,          // kReadOnly and there is no pool at the path
    kNotDatabase,         // the first data file is not a pool of this library
    kDurabilityMismatch,  // kShared with another durability than the processes holding it
};

// The settings of one pool, each with the pool's own default. The database object sets them
// from its configuration before Init.
struct PoolOptions {
    uint32_t page_size = 1024;         // page size of a new pool; length of every cache buffer
    uint32_t initial_page_count = 10;  // pages made when a pool is created
    uint32_t max_file_size = 0;        // MaxFileSize of a new pool (0: no pool can be created)
    uint32_t add_page_count = 1024;    // pages added when the free list runs empty
    uint32_t head_flags = 0;           // flag bits written into a new head

    uint32_t data_buffer_initial = 1000;
    uint32_t data_buffer_max = 0;  // 0: no limit
    uint32_t data_buffer_keep_free = 2000000;
    uint32_t page_buffer_initial = 1000;
    uint32_t page_buffer_max = 0;
    uint32_t page_buffer_keep_free = 2000000;

    uint64_t max_cached_pages = 100000;  // size of the cache of unpinned pages
    uint32_t page_timeout = 60;          // seconds before the check thread drops an idle page
    uint32_t check_period = 30;          // seconds between check passes (idle drops and
                                         // checkpoints); at least 30
    uint32_t max_check_pages = 10000;    // most pages dropped in one pass; 0: no limit
    bool repair_free_list = true;        // rebuild the free list when a bad free page is met

    Access access = Access::kExclusive;

    // The journal.
    Durability durability = Durability::kNormal;
    uint64_t checkpoint_bytes = 4u << 20;  // checkpoint once the journal is this long; 0: at
                                           // every commit (pages go to their places at once)

    // Timing of the check thread, in milliseconds. Only tests change these.
    uint32_t check_first_delay_ms = 10000;  // before the first pass
    uint32_t check_step_ms = 2000;          // sleep steps between passes
    uint32_t check_min_period_ms = 30000;   // floor of the period
    uint32_t check_retry_pause_ms = 200;    // pause before retrying a busy walk
};

}  // namespace brindle

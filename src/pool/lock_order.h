#pragma once

// The order in which the locks of a database are taken. A thread holding one of them takes
// only locks further down this list, never one above it; so no two threads can wait for
// each other. Each lock's own comment says what it guards.
//
//   1. key locks (keys layer): a main key's read-write lock, taken by every call on it.
//   2. Pager::writer_gate_: held by a write transaction from its start to its end (and by a
//      batch for its whole length), so writers run one at a time.
//   3. Pager::checkpoint_mutex_: one checkpoint at a time.
//   4. PageAllocator::mutex_: the free list, the files' ends and heads.
//   5. PageTable shard locks (PageCache), one at a time.
//   6. Pager::pending_mutex_: committed pages not yet in the data files, and the journal's
//      end.
//   7. MainHead's lock, then DataFileSet's per-file locks and the BlockCache locks: leaves,
//      under which nothing else is taken.
//
// Reads take only 1, 5 and 7. A checkpoint takes 3, 6 and 7 and never 2, so writers go on
// while it writes and syncs the data files.

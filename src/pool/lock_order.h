#pragma once

// The order in which the locks of a database are taken. A thread holding one of them takes
// only locks further down this list, never one above it; so no two threads can wait for
// each other. Each lock's own comment says what it guards. This list is the authority: the
// clang build checks the part of it that lies inside one class (the ACQUIRED_AFTER of the
// Pager's own locks), and only within one function; the rest is kept by hand.
//
//   1. Pager::writer_gate_ (taken through WriterGate or WriteTransaction): writers only, first
//      of all, held by a write transaction from its start to its end and by a batch for its
//      whole length, so writers run one at a time. Taking it before the key locks means a
//      batch, which keeps its key locks until it ends, never waits for a writer that waits
//      for it.
//   2. Key locks (keys layer, MainKeyInfo::key_lock, a vell::ReadWriteLock): a main key's
//      lock, taken by every call on it. A thread holds one, except CommonTree's
//      TableChangeGuard, which takes every main key's lock for writing in the order of their
//      node pages (then addresses), and a batch, which keeps those it took.
//   3. CommonTree's database lock (a vell::ReadWriteLock): the table of main keys; taken
//      alone for a look-up, or after all key locks by a TableChangeGuard.
//   4. TreeStore's database lock (a vell::ReadWriteLock): the tree's root and descriptor,
//      held for writing while the tree opens, is created or is reset.
//   5. Pager::checkpoint_mutex_: one checkpoint at a time.
//   6. PageAllocator::mutex_: the free list, the files' ends and heads.
//   7. PageTable shard locks (PageCache), one at a time, and NodeIndexCache's lock (tree
//      layer), neither taken under the other.
//   8. Pager::pending_mutex_: committed pages not yet in the data files, and the journal's
//      end.
//   9. Leaves, under which nothing else is taken: MainHead's lock, DataFileSet's per-file
//      locks (one at a time), the BlockCache locks, Pager::thread_mutex_ (the pager thread's
//      wake-up flags), the Journal's lock of its run numbers, and the locks private to vell
//      (a ReadWriteLock's state lock, a StripedSharedMutex's claim lock, the output and log
//      locks).
//
// The read-write locks of 2 to 4 are re-entrant for their writer, which may also read on
// top; every other lock here is taken once (none is recursive).
//
// Reads take only 2, 3, 7 and 9. A checkpoint takes 5, 8 and 9 and never 1, so writers go on
// while it writes and syncs the data files.

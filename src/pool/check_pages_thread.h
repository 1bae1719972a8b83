#pragma once

#include "vell/thread.h"

namespace brindle {

class PagePool;

// The pool's background thread: while the cache of unpinned pages is full it drops the
// pages idle for at least the page timeout, writing those whose write was delayed. It only
// tries the pool's reference and page locks, backing off when they are busy, so it never
// deadlocks with page access. Its sleeps end as soon as the pool signals its stop.
class CheckPagesThread : public vell::Thread {
public:
    explicit CheckPagesThread(PagePool* pool) : pool_(pool) {}

protected:
    void Run() override;

private:
    PagePool* pool_;
};

}  // namespace brindle

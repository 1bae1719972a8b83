// Write transactions of the PagePool: before-images, commit to the journal, rollback, and
// the checkpoint that brings committed pages to their places.
#include <algorithm>
#include <cstring>
#include <set>

#include "pool/page_pool.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {

bool PagePool::InTransaction() const {
    return transaction_active_.load(std::memory_order_acquire) &&
           transaction_owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

size_t PagePool::TransactionPageCount() const {
    return InTransaction() ? transaction_.pages.size() : 0;
}

uint64_t PagePool::JournalSize() const {
    return journal_ ? journal_->Size() : 0;
}

size_t PagePool::UnwrittenPageCount() const {
    return unwritten_.size();
}

void PagePool::BeginWrite() {
    write_mutex_.lock();
    transaction_ = Transaction();
    transaction_.head = MainHead();
    transaction_.free_tail = FreeTail();
    transaction_.file_count = files_.FileCount();
    transaction_.file_ends = file_ends_;
    transaction_owner_.store(std::this_thread::get_id(), std::memory_order_release);
    transaction_active_.store(true, std::memory_order_release);
}

void PagePool::EndTransaction() {
    transaction_ = Transaction();
    transaction_active_.store(false, std::memory_order_release);
    transaction_owner_.store(std::thread::id(), std::memory_order_release);
}

void PagePool::CommitWrite() {
    try {
        Commit();
    } catch (...) {
        Rollback();
        EndTransaction();
        write_mutex_.unlock();
        throw;
    }
    EndTransaction();
    commit_count_.fetch_add(1, std::memory_order_acq_rel);
    if (journal_ && journal_->Size() >= options_.checkpoint_bytes) {
        CheckpointLocked();  // a failure keeps the journal; the change is committed
    }
    write_mutex_.unlock();
}

void PagePool::AbortWrite() {
    Rollback();
    EndTransaction();
    write_mutex_.unlock();
}

void PagePool::CommitStepIfLarge() {
    if (!InTransaction() || transaction_.pages.size() < options_.step_pages) {
        return;
    }
    CommitWrite();
    BeginWrite();
}

void PagePool::Capture(Page* page) {
    auto [entry, inserted] = transaction_.pages.try_emplace(page->number_);
    if (!inserted) {
        return;
    }
    entry->second.page = page;
    entry->second.before.reset(new uint8_t[page->buffer_size_]);
    std::memcpy(entry->second.before.get(), page->data_, page->buffer_size_);
    entry->second.was_dirty = page->IsDirty();
    page->ref_count_.fetch_add(1, std::memory_order_acq_rel);  // the transaction's own pin
}

void PagePool::AppendChanges(JournalRecord& record, std::vector<Page*>& changed) {
    std::set<uint64_t> numbers;  // pages in order, so that a checkpoint writes sequentially
    for (auto& [number, entry] : transaction_.pages) {
        Page* page = entry.page;
        if (!entry.before ||
            std::memcmp(entry.before.get(), page->data_, page->buffer_size_) != 0) {
            numbers.insert(number);
        }
    }
    std::vector<uint8_t> image(head_.page_size);
    for (uint64_t number : numbers) {
        Page* page = transaction_.pages[number].page;
        EncodeForDisk(page, image.data());
        record.Add(static_cast<uint32_t>(page->file_), page->position_, image.data(),
                   page->buffer_size_);
        changed.push_back(page);
    }
    for (auto& [file, bytes] : transaction_.file_heads) {
        record.Add(static_cast<uint32_t>(file), 0, bytes.data(),
                   static_cast<uint32_t>(bytes.size()));
    }
    std::vector<uint8_t> before = transaction_.head.EncodeArea();
    std::vector<uint8_t> now = MainHead().EncodeArea();
    transaction_.head_changed = before != now;
    if (transaction_.head_changed) {
        record.Add(1, 0, now.data(), static_cast<uint32_t>(now.size()));
    }
}

void PagePool::Commit() {
    JournalRecord record;
    std::vector<Page*> changed;
    AppendChanges(record, changed);
    if (!record.Empty() && journal_ &&
        !journal_->Append(record, options_.durability == Durability::kFull)) {
        vell::ThrowIoError("Write journal failed -- Commit");
    }
    std::set<Page*> changed_set(changed.begin(), changed.end());
    for (auto& [number, entry] : transaction_.pages) {
        Page* page = entry.page;
        if (changed_set.count(page) == 0) {
            page->SetDirty(entry.was_dirty);
            ReleasePage(page);
            continue;
        }
        page->SetDirty(true);
        // A committed page keeps a pin until a checkpoint has written it.
        if (!journal_ || !unwritten_.emplace(number, page).second) {
            ReleasePage(page);
        }
    }
    for (auto& [file, bytes] : transaction_.file_heads) {
        if (journal_) {
            unwritten_heads_[file] = std::move(bytes);
        } else {
            files_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), file, 0);
        }
    }
    if (transaction_.head_changed) {
        if (journal_) {
            main_head_unwritten_ = true;
        } else {
            PoolHead head = MainHead();
            WriteHead(head, head.page_size, 1);
        }
    }
    transaction_.pages.clear();
}

void PagePool::Rollback() {
    for (auto& [number, entry] : transaction_.pages) {
        Page* page = entry.page;
        if (entry.before) {
            std::memcpy(page->data_, entry.before.get(), page->buffer_size_);
            page->SetDirty(entry.was_dirty);
            ReleasePage(page);
            continue;
        }
        // Added by growth in this transaction: it never existed.
        {
            PageTable::Shard& shard = table_.ShardOf(number);
            std::unique_lock lock(shard.lock);
            if (page->ref_count_.exchange(0, std::memory_order_acq_rel) > 0) {
                pinned_count_.fetch_sub(1, std::memory_order_relaxed);
            }
            ForgetResident(shard, page);
        }
        page->SetDirty(false);
        FreeRawPage(page);
    }
    transaction_.pages.clear();
    {
        vell::ScopedLock head_lock(head_lock_);
        head_ = transaction_.head;
    }
    page_count_.store(transaction_.head.page_count, std::memory_order_release);
    {
        vell::ScopedLock free_lock(free_list_lock_);
        free_tail_ = transaction_.free_tail;
    }
    file_ends_ = transaction_.file_ends;
    while (files_.FileCount() > transaction_.file_count) {
        files_.RemoveLastFile();
    }
    if (rollback_listener_) {
        rollback_listener_();
    }
}

bool PagePool::Checkpoint() {
    std::lock_guard<std::mutex> lock(write_mutex_);
    return CheckpointLocked();
}

void PagePool::TryIdleCheckpoint() {
    std::unique_lock<std::mutex> lock(write_mutex_, std::try_to_lock);
    if (lock.owns_lock() && journal_ && journal_->Size() > 0) {
        CheckpointLocked();
    }
}

bool PagePool::CheckpointLocked() {
    if (!journal_ || (journal_->Size() == 0 && unwritten_.empty())) {
        return true;
    }
    if (SyncData() && !journal_->Sync()) {
        return false;
    }
    bool written = true;
    for (auto& [file, bytes] : unwritten_heads_) {
        written =
            written && files_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), file, 0);
    }
    for (auto& [number, page] : unwritten_) {
        written = written && WriteToFile(page);
    }
    if (written && main_head_unwritten_) {
        PoolHead head = MainHead();
        written = WriteHead(head, head.page_size, 1);
    }
    if (written && SyncData()) {
        for (int file = 1; file <= files_.FileCount(); ++file) {
            written = written && files_.Flush(file);
        }
    }
    if (!written) {
        vell::OutputLine("Checkpoint failed, journal kept");
        return false;
    }
    // Every committed change is in place now; a journal that cannot be emptied is only
    // replayed once more at the next open, which rewrites the same bytes.
    journal_->Reset(SyncData());
    std::map<uint64_t, Page*> written_pages;
    written_pages.swap(unwritten_);
    for (auto& [number, page] : written_pages) {
        page->SetDirty(false);
        ReleasePage(page);
    }
    unwritten_heads_.clear();
    main_head_unwritten_ = false;
    file_ends_.clear();
    return true;
}

}  // namespace brindle

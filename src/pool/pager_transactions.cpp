// Write transactions of the Pager: before-images, savepoints, commit to the journal, rollback.
#include <algorithm>
#include <cstring>

#include "pool/pager.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {

size_t Pager::TransactionPageCount() const {
    if (!InTransaction()) {
        return 0;
    }
    GateHeldByThisThread();
    return transaction_.pages.size();
}

uint64_t Pager::JournalSize() const {
    vell::MutexLock lock(pending_mutex_);
    return journal_ ? journal_->Size() : 0;
}

size_t Pager::UnwrittenPageCount() const {
    vell::MutexLock lock(pending_mutex_);
    return unwritten_.size();
}

void Pager::Begin() {
    transaction_ = Transaction();
    transaction_.base_stamp = transaction_.stamp = next_stamp_++;
    transaction_.head = head_.Get();
    transaction_.allocator = allocator_.Snapshot();
    transaction_owner_.store(std::this_thread::get_id(), std::memory_order_release);
    transaction_active_.store(true, std::memory_order_release);
}

void Pager::EndTransaction() {
    transaction_ = Transaction();
    transaction_active_.store(false, std::memory_order_release);
    transaction_owner_.store(std::thread::id(), std::memory_order_release);
}

void Pager::OpenSavepoint() {
    Savepoint savepoint;
    savepoint.stamp = next_stamp_++;
    savepoint.head = head_.Get();
    savepoint.allocator = allocator_.Snapshot();
    savepoint.file_heads = transaction_.file_heads;
    savepoint.notes_size = transaction_.notes.size();
    transaction_.savepoints.push_back(std::move(savepoint));
    transaction_.stamp = transaction_.savepoints.back().stamp;
}

// Keeps what the savepoint's level changed as part of the level around it.
void Pager::ReleaseSavepoint() {
    Savepoint done = std::move(transaction_.savepoints.back());
    transaction_.savepoints.pop_back();
    if (!transaction_.savepoints.empty()) {
        Savepoint& outer = transaction_.savepoints.back();
        for (auto& [number, image] : done.images) {
            // A page first changed after the outer savepoint goes back to its before-image.
            if (outer.new_pages.count(number) == 0) {
                outer.images.try_emplace(number, std::move(image));
            }
        }
        outer.new_pages.insert(done.new_pages.begin(), done.new_pages.end());
        transaction_.stamp = outer.stamp;
    } else {
        transaction_.stamp = transaction_.base_stamp;
    }
}

// Puts a captured page back as it was when the transaction first changed it and lets its
// pin go; a page added by growth leaves memory.
void Pager::RestoreCaptured(Captured& captured) {
    Page* page = captured.page;
    if (captured.before) {
        page->RestoreBytes(captured.before.get());
        page->SetCapturedBy(0);
        ReleasePage(page);
    } else {
        cache_.Forget(page);
    }
}

void Pager::RollbackToSavepoint() {
    Savepoint savepoint = std::move(transaction_.savepoints.back());
    transaction_.savepoints.pop_back();
    for (uint64_t number : savepoint.new_pages) {
        auto found = transaction_.pages.find(number);
        if (found != transaction_.pages.end()) {
            RestoreCaptured(found->second);
            transaction_.pages.erase(found);
        }
    }
    for (auto& [number, image] : savepoint.images) {
        auto found = transaction_.pages.find(number);
        if (found != transaction_.pages.end()) {
            found->second.page->RestoreBytes(image.get());
        }
    }
    head_.Set(savepoint.head);
    allocator_.Restore(savepoint.allocator);
    transaction_.file_heads = std::move(savepoint.file_heads);
    transaction_.notes.resize(savepoint.notes_size);
    transaction_.stamp = transaction_.savepoints.empty() ? transaction_.base_stamp
                                                         : transaction_.savepoints.back().stamp;
    if (rollback_listener_) {
        rollback_listener_();
    }
}

void Pager::Rollback() {
    for (auto& [number, captured] : transaction_.pages) {
        RestoreCaptured(captured);
    }
    transaction_.pages.clear();
    transaction_.savepoints.clear();
    transaction_.file_heads.clear();
    transaction_.notes.clear();
    head_.Set(transaction_.head);
    allocator_.Restore(transaction_.allocator);
    if (rollback_listener_) {
        rollback_listener_();
    }
}

void Pager::AddChangeNote(std::string_view bytes) {
    if (!InTransaction()) {
        vell::ThrowIoError("Change note outside a transaction");
    }
    GateHeldByThisThread();
    transaction_.notes.append(bytes);
}

void Pager::BuildRecord(JournalRecord& record, std::vector<std::pair<uint64_t, Unwritten>>& pages,
                        std::vector<std::pair<int, Unwritten>>& heads) {
    std::vector<uint64_t> numbers;
    for (auto& [number, captured] : transaction_.pages) {
        Page* page = captured.page;
        if (!captured.before ||
            std::memcmp(captured.before.get(), page->Data(), page->BufferSize()) != 0) {
            numbers.push_back(number);
        }
    }
    // In page order, so that a checkpoint writes sequentially.
    std::sort(numbers.begin(), numbers.end());
    // The pages, and the heads and notes (smaller than a page each) after them.
    record.Reserve(numbers.size() + transaction_.file_heads.size() + 2, cache_.BufferSize());
    for (uint64_t number : numbers) {
        Page* page = transaction_.pages[number].page;
        auto image = std::make_shared<std::vector<uint8_t>>(page->BufferSize());
        EncodeForDisk(page, image->data());
        record.Add(static_cast<uint32_t>(page->File()), page->Position(), image->data(),
                   static_cast<uint32_t>(image->size()));
        pages.emplace_back(number, Unwritten{page, page->File(), page->Position(), image, 0});
    }
    for (auto& [file, head] : transaction_.file_heads) {
        auto image = std::make_shared<std::vector<uint8_t>>(head.EncodeArea());
        record.Add(static_cast<uint32_t>(file), 0, image->data(),
                   static_cast<uint32_t>(image->size()));
        heads.emplace_back(file, Unwritten{nullptr, file, 0, image, 0});
    }
    std::vector<uint8_t> before = transaction_.head.EncodeArea();
    auto now = std::make_shared<std::vector<uint8_t>>(MainHead().EncodeArea());
    if (before != *now) {
        record.Add(1, 0, now->data(), static_cast<uint32_t>(now->size()));
        heads.emplace_back(1, Unwritten{nullptr, 1, 0, now, 0});
    }
    // File 0 names no data file: the entry carries the change notes.
    if (!record.Empty() && !transaction_.notes.empty()) {
        record.Add(kNotesFile, 0, reinterpret_cast<const uint8_t*>(transaction_.notes.data()),
                   static_cast<uint32_t>(transaction_.notes.size()));
    }
}

// Hands the committed areas to the checkpoint: a page's pin passes from the transaction to
// the list of unwritten pages (or goes, when the page was unwritten already).
void Pager::Register(uint64_t sequence, std::vector<std::pair<uint64_t, Unwritten>>& pages,
                     std::vector<std::pair<int, Unwritten>>& heads, std::vector<Page*>& unpin) {
    for (auto& [number, area] : pages) {
        area.sequence = sequence;
        auto [entry, inserted] = unwritten_.try_emplace(number, area);
        if (!inserted) {
            entry->second.image = area.image;
            entry->second.sequence = sequence;
            entry->second.file = area.file;
            entry->second.position = area.position;
            if (entry->second.page == nullptr) {
                entry->second.page = area.page;  // an image taken in from another process
            } else {
                unpin.push_back(area.page);
            }
        }
    }
    for (auto& [file, area] : heads) {
        area.sequence = sequence;
        unwritten_heads_[file] = area;
    }
    if (files_.FileCount() > committed_file_count_) {
        directory_unsynced_ = true;
    }
    committed_file_count_ = files_.FileCount();
}

void Pager::Commit() {
    JournalRecord record;
    std::vector<std::pair<uint64_t, Unwritten>> pages;
    std::vector<std::pair<int, Unwritten>> heads;
    BuildRecord(record, pages, heads);
    std::vector<Page*> unpin;
    uint64_t journal_size = 0;
    uint64_t sequence = 0;
    if (!record.Empty()) {
        vell::MutexLock lock(pending_mutex_);
        if (!journal_ || !journal_->Append(record, options_.durability == Durability::kFull)) {
            vell::ThrowIoError("Write journal failed -- Commit");
        }
        sequence = journal_->LastSequence();
        Register(sequence, pages, heads, unpin);
        journal_size = journal_->Size();
        // Told before the number is published, so that a watcher woken by it finds the notes.
        if (commit_observer_) {
            commit_observer_(sequence, transaction_.notes, false);
        }
        Publish(sequence);
    }
    transaction_.notes.clear();
    // Pages that did not change, and second pins of pages unwritten already, go.
    for (auto& [number, captured] : transaction_.pages) {
        Page* page = captured.page;
        page->SetCapturedBy(0);
        // `pages` is in page order (BuildRecord): the changed ones passed their pin on.
        auto at = std::lower_bound(pages.begin(), pages.end(), number,
                                   [](const auto& area, uint64_t n) { return area.first < n; });
        if (at == pages.end() || at->first != number) {
            ReleasePage(page);
        }
    }
    for (Page* page : unpin) {
        ReleasePage(page);
    }
    transaction_.pages.clear();
    transaction_.file_heads.clear();
    if (record.Empty()) {
        return;
    }
    if (options_.checkpoint_bytes == 0) {
        Checkpoint();  // pages go to their places at once; a failure keeps them journaled
    } else if (journal_size >= 4 * options_.checkpoint_bytes) {
        // The pager's thread could not empty the journal: every checkpoint found new commits
        // when it ended. With the gate held nothing commits, so a checkpoint run here does.
        Checkpoint();
    } else if (journal_size >= options_.checkpoint_bytes) {
        RequestCheckpoint();
    }
}

}  // namespace brindle

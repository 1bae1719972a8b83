#include "keys/common_tree.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <utility>

#include "brindle_codes.h"
#include "keys/change_notes.h"
#include "md_exception.h"
#include "pool/page_handle.h"
#include "pool/write_transaction.h"
#include "vell/diagnostic_log.h"
#include "vell/endian.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {
namespace {

// BRINDLE_DURABILITY=off|normal|full (any case) chooses how far committed changes survive;
// normal when unset. Any other value refuses the open: a typo must not quietly take away the
// durability a host asked for.
bool DurabilityFromEnvironment(Durability& durability) {
    const char* text = std::getenv("BRINDLE_DURABILITY");
    if (text == nullptr) {
        durability = Durability::kNormal;
        return true;
    }
    std::string value = text;
    for (char& c : value) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (value == "off" || value == "normal" || value == "full") {
        durability = value == "off"      ? Durability::kOff
                     : value == "normal" ? Durability::kNormal
                                         : Durability::kFull;
        return true;
    }
    vell::OutputLine("BRINDLE_DURABILITY is '%s'; it must be off, normal or full", text);
    return false;
}

// BRINDLE_CHECKPOINT_BYTES: a whole decimal number of bytes (0: pages written at every
// commit); anything else refuses the open.
bool CheckpointBytesFromEnvironment(uint64_t& bytes) {
    const char* text = std::getenv("BRINDLE_CHECKPOINT_BYTES");
    if (text == nullptr) {
        return true;
    }
    const char* end = text + std::strlen(text);
    uint64_t value = 0;
    auto [stop, error] = std::from_chars(text, end, value);
    if (end == text || error != std::errc() || stop != end || !std::isdigit(*text)) {
        vell::OutputLine("BRINDLE_CHECKPOINT_BYTES is '%s'; it must be a whole number of bytes",
                         text);
        return false;
    }
    bytes = value;
    return true;
}

bool SetPoolOptions(const ConfigRecord& config, PoolOptions& options) {
    options = config.pool;
    return DurabilityFromEnvironment(options.durability) &&
           CheckpointBytesFromEnvironment(options.checkpoint_bytes);
}

// Orders key locks for TableChangeGuard: by node page, then by address (a dropped record
// may share its node page number with a newer one).
bool LockOrder(const MainKeyInfo* a, const MainKeyInfo* b) {
    if (a->node != b->node) {
        return a->node < b->node;
    }
    return std::less<const MainKeyInfo*>()(a, b);
}

}  // namespace

// Holds every main key's key lock for writing and then the database lock for writing.
// The set of main keys is read first and checked again once the database lock is held;
// when another change slipped in between, everything is released and taken again.
class CommonTree::TableChangeGuard {
public:
    explicit TableChangeGuard(CommonTree& tree) : tree_(tree) {
        for (;;) {
            std::vector<MainKeyInfo*> wanted = Snapshot();
            held_.reserve(wanted.size());
            for (MainKeyInfo* record : wanted) {
                record->key_lock.WriteLock();
                held_.push_back(record);
            }
            tree_.database_lock_.WriteLock();
            holds_database_ = true;
            if (Snapshot() == wanted) {
                tree_.RetainTableForBatch(held_);
                return;
            }
            Release();
        }
    }
    ~TableChangeGuard() { Release(); }
    TableChangeGuard(const TableChangeGuard&) = delete;
    TableChangeGuard& operator=(const TableChangeGuard&) = delete;

private:
    std::vector<MainKeyInfo*> Snapshot() {
        std::vector<MainKeyInfo*> records;
        vell::ReadGuard guard(tree_.database_lock_);
        records.reserve(tree_.table_.size());
        for (auto& entry : tree_.table_) {
            records.push_back(entry.second);
        }
        std::sort(records.begin(), records.end(), LockOrder);
        return records;
    }

    // Unchecked: releases a set of locks known only at run time, which the analysis cannot
    // name; the guard takes them in its constructor and gives them back here or at its end.
    void Release() NO_THREAD_SAFETY_ANALYSIS {
        if (holds_database_) {
            tree_.database_lock_.WriteUnlock();
            holds_database_ = false;
        }
        for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
            (*it)->key_lock.WriteUnlock();
        }
        held_.clear();
    }

    CommonTree& tree_;
    std::vector<MainKeyInfo*> held_;
    bool holds_database_ = false;
};

CommonTree::CommonTree() = default;

CommonTree::~CommonTree() {
    // A batch left open by the closing thread ends first, undone, while its pager lives.
    if (InBatch()) {
        try {
            EndBatch(false);
        } catch (...) {
        }
    }
    if (pool_) {
        pool_->SetWriteLockListener(nullptr);  // the table goes before the pager
    }
    table_.clear();
    records_.clear();
    tree_.reset();
    pool_.reset();
}

bool CommonTree::Open(ConfigRecord* config) {
    if (config == nullptr) {
        return false;
    }
    config_ = config;
    pool_.reset(new (std::nothrow) Pager());
    if (!pool_) {
        vell::WriteLog("Create CommonTree pool failed");
        return false;
    }
    if (!SetPoolOptions(*config, pool_->Options())) {
        open_failure_ = OpenFailure::kFailed;
        config_ = nullptr;
        return false;
    }
    read_only_ = pool_->Options().access == Access::kReadOnly;
    if (!pool_->Open(config->dataPath)) {
        open_failure_ = pool_->LastOpenFailure();
        config_ = nullptr;
        vell::WriteLog("Init CommonTree pool failed");
        return false;
    }
    tree_ = std::make_unique<TreeStore>(pool_.get(), config->rootName);
    if (!OpenTree() || !LoadMainKeys()) {
        open_failure_ = OpenFailure::kFailed;
        return false;
    }
    pool_->SetWriteLockListener([this] { CatchUpUnderGate(); });
    return true;
}

bool CommonTree::OpenTree() {
    if (read_only_) {
        return tree_->OpenTree(TreeStore::kOpenMustExist);
    }
    // A new database's root and queue come whole or not at all.
    WriteTransaction transaction(pool_.get());
    if (!tree_->OpenTree(TreeStore::kOpenCreate)) {
        return false;
    }
    transaction.Commit();
    return true;
}

void CommonTree::CatchUp() {
    if (!pool_ || !pool_->Behind()) {
        return;
    }
    WriterGate gate(pool_.get(), true);
    CatchUpUnderGate();
}

void CommonTree::CatchUpUnderGate() {
    while (pool_->Behind()) {
        TableChangeGuard guard(*this);
        if (pool_->CatchUp() && tree_) {
            ResyncTableWithTree(records_.size());
        }
    }
}

namespace {
// Calls of the exports this thread is inside (a call may make another).
thread_local int call_depth = 0;
}  // namespace

CommonTree::CallScope::CallScope(CommonTree& database) {
    if (call_depth++ != 0 || !database.pool_) {
        return;
    }
    pool_ = database.pool_.get();
    pool_->EnterCall();
    try {
        database.CatchUp();
    } catch (...) {
        pool_->LeaveCall();
        --call_depth;
        throw;
    }
}

CommonTree::CallScope::~CallScope() {
    if (pool_ != nullptr) {
        pool_->LeaveCall();
    }
    --call_depth;
}

bool CommonTree::LoadMainKeys() {
    if (Root() == 0) {
        return false;
    }
    std::vector<std::pair<uint64_t, std::string>> children;
    if (!tree_->GetSubNodes(Root(), children)) {
        return false;
    }
    vell::WriteGuard guard(database_lock_);
    for (auto& [page, name] : children) {
        // A later child of the same name takes the table entry of an earlier one.
        table_[name] = MakeRecord(page, name, 0, "Alloc MainKeyInfo object memory failed");
    }
    return true;
}

MainKeyInfo* CommonTree::MakeRecord(uint64_t node, const std::string& name, uint32_t set_flags,
                                    const char* alloc_error) {
    uint32_t flags = ReadNodeFlags(node, set_flags);
    if (config_->ignoreReadOnly) {
        flags &= ~kKeyReadOnly;
    }
    try {
        records_.reserve(records_.size() + 1);
        records_.push_back(std::make_unique<MainKeyInfo>(node, name, flags));
    } catch (const std::bad_alloc&) {
        vell::ThrowMemoryError(alloc_error);
    }
    return records_.back().get();
}

uint32_t CommonTree::ReadNodeFlags(uint64_t node, uint32_t set_flags) {
    Page* page = pool_->GetPage(node);
    if (page == nullptr) {
        vell::ThrowMemoryError(vell::kAllocPageBufferError);
    }
    PageHandle holder(page, pool_.get());
    if (page->Data() == nullptr) {
        vell::ThrowMemoryError(vell::kAllocPageDataBufferError);
    }
    if (set_flags != 0) {
        page->ChangeHead().Set(set_flags);
    }
    return page->Head().Flags();
}

MainKeyInfo* CommonTree::FindMainKey(const std::string& name) {
    vell::ReadGuard guard(database_lock_);
    auto it = table_.find(name);
    return it == table_.end() ? nullptr : it->second;
}

Status CommonTree::GetAllMainKeys(vell::MemCache& buffer, uint32_t& length, uint32_t& count) {
    vell::ReadGuard guard(database_lock_);
    const bool list_hidden = config_ != nullptr && config_->listHiddenMainKeys;
    auto listed = [list_hidden](const MainKeyInfo* record) {
        return list_hidden || !record->Hidden();
    };
    uint64_t total = 8;
    uint32_t names = 0;
    for (auto& [name, record] : table_) {
        if (listed(record)) {
            total += name.size() + 1;
            ++names;
        }
    }
    bool grown = false;
    try {
        grown = total <= vell::MemCache::kMaxSize && buffer.Allocate(static_cast<uint32_t>(total));
    } catch (const MDException&) {
        grown = false;
    }
    if (!grown) {
        vell::ThrowMemoryError("Alloc memory failed -- GetAllMainKeys");
    }
    uint8_t* out = buffer.Data();
    vell::StoreU32(out, static_cast<uint32_t>(total));
    vell::StoreU32(out + 4, names);
    size_t at = 8;
    for (auto& [name, record] : table_) {
        if (listed(record)) {
            std::memcpy(out + at, name.c_str(), name.size() + 1);
            at += name.size() + 1;
        }
    }
    length = static_cast<uint32_t>(total);
    count = names;
    return Status::kOk;
}

bool CommonTree::MainKeyChangeDenied(const std::string& name, Status& result) const {
    if (!config_->allowMainKeyChange) {
        result = Status::kMainKeyChangeDenied;
        return true;
    }
    if (!config_->allowSystemMainKey && name == config_->systemMainKey) {
        result = Status::kReservedMainKey;
        return true;
    }
    return false;
}

Status CommonTree::CreateMainKey(const std::string& name, uint32_t mode, MainKeyInfo*& record,
                                 uint64_t& node, const MainKeyFill* fill) {
    if (read_only_) {
        return Status::kOpenedReadOnly;
    }
    WriterGate gate(pool_.get());
    TableChangeGuard guard(*this);
    // Another thread may have created it since the caller looked.
    if (table_.count(name) != 0) {
        return Status::kKeyExists;
    }
    Status refusal = Status::kOk;
    if (MainKeyChangeDenied(name, refusal)) {
        return refusal;
    }
    WriteTransaction transaction(pool_.get());
    uint64_t page = 0;
    if (!tree_->AppendSubNode(Root(), page, name)) {
        return Status::kFailed;
    }
    // Before what a fill adds, so that watchers hear of the main key before its content.
    RecordChange(*pool_, ChangeNote{ChangeKind::kKeyAdded, name, "", ""});
    uint32_t flags = 0;
    if ((mode & MODE_READONLY) != 0) {
        flags |= kKeyReadOnly;
    }
    if ((mode & MODE_HIDDEN) != 0) {
        flags |= kKeyHidden;
    }
    MainKeyInfo* made = MakeRecord(page, name, flags, "Alloc MAINKEYINFO object memory failed");
    if (fill != nullptr) {
        Status filled = (*fill)(made, page);
        if (filled != Status::kOk) {
            made->dropped.store(true, std::memory_order_release);
            return filled;
        }
    }
    transaction.Commit();
    table_[name] = made;
    record = made;
    node = page;
    return Status::kOk;
}

Status CommonTree::RenameMainKey(MainKeyInfo* record, const std::string& new_name) {
    if (read_only_) {
        return Status::kOpenedReadOnly;
    }
    WriterGate gate(pool_.get());
    TableChangeGuard guard(*this);
    auto it = table_.find(record->name);
    if (it == table_.end() || it->second != record) {
        return Status::kMainKeyGone;
    }
    Status refusal = Status::kOk;
    if (MainKeyChangeDenied(record->name, refusal)) {
        return refusal;
    }
    WriteTransaction transaction(pool_.get());
    Status result = tree_->EditNodeName(record->node, new_name);
    if (result == Status::kOk) {
        RecordChange(*pool_, ChangeNote{ChangeKind::kKeyRenamed, record->name, "", new_name});
        transaction.Commit();
        table_.erase(it);
        record->name = new_name;
        table_[new_name] = record;
    }
    return result;
}

Status CommonTree::DeleteMainKey(MainKeyInfo* record) {
    if (read_only_) {
        return Status::kOpenedReadOnly;
    }
    WriterGate gate(pool_.get());
    TableChangeGuard guard(*this);
    if (record->Dropped()) {
        return Status::kMainKeyGone;
    }
    // All or nothing: a deletion that fails leaves the main key whole, in the table too.
    WriteTransaction transaction(pool_.get());
    Status result = tree_->DeleteNode(record->node);
    if (result == Status::kOk) {
        RecordChange(*pool_, ChangeNote{ChangeKind::kKeyDeleted, record->name, "", ""});
        transaction.Commit();
        DropFromTable(record);
    }
    return result;
}

void CommonTree::DropFromTable(MainKeyInfo* record) {
    auto it = table_.find(record->name);
    if (it != table_.end() && it->second == record) {
        table_.erase(it);
    }
    record->dropped.store(true, std::memory_order_release);
}

struct CommonTree::BatchState {
    std::unique_ptr<WriteTransaction> transaction;
    std::vector<MainKeyInfo*> held;  // main keys whose write lock the batch keeps
    bool holds_table = false;        // the database lock, kept too
    size_t records_before = 0;       // records made before the batch began
};

Status CommonTree::BeginBatch() {
    if (InBatch() || !pool_) {
        return Status::kFailed;
    }
    if (read_only_) {
        return Status::kOpenedReadOnly;
    }
    auto state = std::make_unique<BatchState>();
    state->transaction = std::make_unique<WriteTransaction>(pool_.get());
    state->records_before = records_.size();
    batch_ = std::move(state);
    batch_thread_.store(std::this_thread::get_id(), std::memory_order_release);
    return Status::kOk;
}

// The locks a batch keeps are known only at run time and live in its state from RetainForBatch
// to here, the one place that lets them go.
Status CommonTree::EndBatch(bool commit) NO_THREAD_SAFETY_ANALYSIS {
    if (!InBatch()) {
        return Status::kFailed;
    }
    std::unique_ptr<BatchState> state = std::move(batch_);
    std::exception_ptr failure;
    try {
        if (commit) {
            state->transaction->Commit();  // rolls back itself when it throws
        } else {
            state->transaction->Rollback();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // The table follows the tree back while the batch still holds the database lock.
    if ((failure || !commit) && state->holds_table) {
        try {
            ResyncTableWithTree(state->records_before);
        } catch (...) {
            failure = failure ? failure : std::current_exception();
        }
    }
    // The locks go once the changes are committed or undone; the writer gate last, with the
    // transaction.
    if (state->holds_table) {
        database_lock_.WriteUnlock();
    }
    for (auto it = state->held.rbegin(); it != state->held.rend(); ++it) {
        (*it)->key_lock.WriteUnlock();
    }
    batch_thread_.store(std::thread::id(), std::memory_order_release);
    state->transaction.reset();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return Status::kOk;
}

void CommonTree::RetainForBatch(MainKeyInfo* record) NO_THREAD_SAFETY_ANALYSIS {
    if (!InBatch() || record == nullptr) {
        return;
    }
    if (std::find(batch_->held.begin(), batch_->held.end(), record) == batch_->held.end()) {
        record->key_lock.WriteLock();  // once more on top of the caller's: kept to the end
        batch_->held.push_back(record);
    }
}

void CommonTree::RetainTableForBatch(const std::vector<MainKeyInfo*>& records)
    NO_THREAD_SAFETY_ANALYSIS {
    if (!InBatch()) {
        return;
    }
    for (MainKeyInfo* record : records) {
        RetainForBatch(record);
    }
    if (!batch_->holds_table) {
        database_lock_.WriteLock();
        batch_->holds_table = true;
    }
}

// The tree is back as it was before the batch; so must the table be. Each main key of the
// tree gets the record it had before the batch when there is one (its flags are read from
// its node), every other record is dropped.
void CommonTree::ResyncTableWithTree(size_t records_before) {
    std::vector<std::pair<uint64_t, std::string>> children;
    if (!tree_->GetSubNodes(Root(), children)) {
        return;
    }
    std::map<std::string, MainKeyInfo*> table;
    for (auto& [node, name] : children) {
        MainKeyInfo* found = nullptr;
        for (size_t i = records_before; i-- > 0 && found == nullptr;) {
            found = records_[i]->node == node ? records_[i].get() : nullptr;
        }
        if (found == nullptr) {
            found = MakeRecord(node, name, 0, "Alloc MainKeyInfo object memory failed");
        }
        found->name = name;
        found->dropped.store(false, std::memory_order_release);
        table[name] = found;
    }
    for (auto& record : records_) {
        auto it = table.find(record->name);
        if (it == table.end() || it->second != record.get()) {
            record->dropped.store(true, std::memory_order_release);
        }
    }
    table_.swap(table);
}

}  // namespace brindle

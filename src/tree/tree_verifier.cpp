#include "tree/tree_verifier.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "md_exception.h"
#include "tree/pinned_page.h"
#include "tree/tree_records.h"

namespace brindle {
namespace {

enum class Owner { kNone, kFree, kQueue, kNode, kData };

// Bytes of a record's start read to learn its name: more than any name the tree can hold in
// one page, so that names are compared whole.
constexpr size_t kNameBytes = 4096;

class Walker {
public:
    explicit Walker(Pager& pool) : pool_(pool), owner_(pool.PageCount() + 1, Owner::kNone) {}

    VerifyReport Run();

private:
    void Problem(const std::string& line) { report_.problems.push_back(line); }
    template <typename... Parts>
    std::string Say(const Parts&... parts) {
        std::ostringstream out;
        (out << ... << parts);
        return out.str();
    }
    bool InPool(uint64_t page) const { return page >= 1 && page < owner_.size(); }
    // A link from the tree must lead to a page in the pool that is not on the free list.
    bool CheckLink(uint64_t target, const std::string& what);

    void WalkFreeList();
    uint64_t WalkQueue();
    void WalkNode(uint64_t node, uint64_t parent,
                  std::vector<std::pair<uint64_t, uint64_t>>& pending);
    void WalkChildren(uint64_t node, const NodeRecord& record,
                      std::vector<std::pair<uint64_t, uint64_t>>& pending);
    // Walks the node's record chain; `name` gets the node's own name.
    void WalkRecords(uint64_t node, const NodeRecord& record, std::set<uint64_t>& node_pages,
                     std::string& name);
    // Walks one record's data across its pages; the first bytes of it (up to the size
    // `start` has) are copied into `start`, which is cut to what the record holds.
    void WalkData(uint64_t node, uint64_t page, uint32_t offset, uint32_t length,
                  std::set<uint64_t>& node_pages, std::string& start);
    void NoteChildName(uint64_t node, uint64_t parent, const std::string& name);
    void CheckPieces();
    void ListLeaks();

    Pager& pool_;
    std::vector<Owner> owner_;
    std::map<uint64_t, int64_t> pieces_;  // live pieces counted per page
    std::map<uint64_t, std::map<std::string, uint64_t>> child_names_;  // per parent node
    VerifyReport report_;
};

bool Walker::CheckLink(uint64_t target, const std::string& what) {
    if (!InPool(target)) {
        Problem(Say(what, " leads to page ", target, ", outside the pool"));
        return false;
    }
    if (owner_[target] == Owner::kFree) {
        Problem(Say(what, " leads to page ", target, ", which is on the free list"));
        ++report_.freed_links;
        return false;
    }
    return true;
}

void Walker::WalkFreeList() {
    uint64_t previous = 0;
    uint64_t number = pool_.FreeHead();
    while (number != 0) {
        if (!InPool(number) || owner_[number] == Owner::kFree) {
            Problem(Say("free list: page ", number, " after ", previous,
                        " is outside the pool or seen twice"));
            return;
        }
        PageHandle handle(&pool_);
        Page* page = pool_.GetPage(number);
        if (page == nullptr) {
            Problem(Say("free list: page ", number, " cannot be read"));
            return;
        }
        handle.Assign(page);
        PageHeadReader head = page->Head();
        if (!head.Has(kPageUnused)) {
            Problem(Say("free list: page ", number, " is not marked unused"));
        }
        if (head.Prev() != previous) {
            Problem(Say("free list: page ", number, " links back to ", head.Prev(), ", not ",
                        previous));
        }
        owner_[number] = Owner::kFree;
        ++report_.free_pages;
        previous = number;
        number = head.Next();
        handle.Detach();
        pool_.ReleasePage(page);  // a plain unpin: free pages stay where they are
    }
    if (previous != pool_.FreeTail()) {
        Problem(Say("free list: ends at ", previous, " but the pool's tail is ", pool_.FreeTail()));
    }
}

uint64_t Walker::WalkQueue() {
    if (!(pool_.TreeFlags() & kCommonTreePresent)) {
        return 0;
    }
    uint64_t number = pool_.FirstQueuePage();
    uint64_t root = 0;
    for (uint64_t walked = 0; number != 0; ++walked) {
        if (walked > pool_.PageCount() || !CheckLink(number, "common queue")) {
            Problem("common queue is broken");
            return root;
        }
        PinnedPage page(&pool_, number, PinnedPage::ReadOnlyTag{}, "queue page format error");
        if (page.Head().PageType() != kPageTypeQueue) {
            Problem(Say("queue page ", number, " has page type ", page.Head().PageType()));
            return root;
        }
        owner_[number] = Owner::kQueue;
        QueueEntry entry = QueueEntry::Decode(page->Area());
        if (entry.kind == kQueueKindCommonTree && root == 0) {
            root = TreeDescriptor::Decode(page->Area() + 16).root_page;
        }
        number = entry.next_queue_page;
    }
    if (root == 0) {
        Problem("the pool says it holds a tree but its queue names no root");
    }
    return root;
}

namespace {

// Copies what is still wanted of a record's first bytes from one piece of its data.
void CopyStart(std::string& start, size_t& have, const uint8_t* bytes, uint64_t available) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(start.size() - have, available));
    std::copy(bytes, bytes + take, start.begin() + static_cast<ptrdiff_t>(have));
    have += take;
}

}  // namespace

void Walker::WalkData(uint64_t node, uint64_t page_number, uint32_t offset, uint32_t length,
                      std::set<uint64_t>& node_pages, std::string& start) {
    PinnedPage page(&pool_, page_number, PinnedPage::ReadOnlyTag{}, "record page format error");
    ++pieces_[page_number];
    start.resize(std::min<size_t>(start.size(), length));
    size_t have = 0;
    int64_t in_page = static_cast<int64_t>(page->AreaSize()) - offset;
    if (in_page > 0) {
        CopyStart(start, have, page->Area() + offset,
                  std::min<uint64_t>(static_cast<uint64_t>(in_page), length));
    }
    if (in_page >= static_cast<int64_t>(length)) {
        return;
    }
    uint64_t rest = length - static_cast<uint64_t>(in_page < 0 ? 0 : in_page);
    uint64_t previous = page_number;
    bool more = page.Head().Has(kPageMoreData);
    uint64_t next = page.Head().Next();
    while (true) {
        if (!more) {
            Problem(Say("node ", node, ": data in page ", previous,
                        " runs on but the page lacks MoreData"));
            return;
        }
        if (!CheckLink(next, Say("node ", node, ": MoreData of page ", previous))) {
            return;
        }
        PinnedPage current(&pool_, next, PinnedPage::ReadOnlyTag{},
                           "continuation page format error");
        if (current.Head().PageType() != kPageTypeContinuation ||
            !current.Head().Has(kPageContinuedData) || current.Head().Prev() != previous) {
            Problem(Say("node ", node, ": continuation page ", next,
                        " is not typed, flagged and linked as one"));
        }
        if (owner_[next] != Owner::kNone && owner_[next] != Owner::kData) {
            Problem(Say("node ", node, ": continuation page ", next, " is used twice"));
        }
        owner_[next] = Owner::kData;
        node_pages.insert(next);
        ++pieces_[next];
        uint32_t here = current->AreaSize();
        CopyStart(start, have, current->Area(), std::min<uint64_t>(here, rest));
        if (rest <= here) {
            return;
        }
        rest -= here;
        previous = next;
        more = current.Head().Has(kPageMoreData);
        next = current.Head().Next();
    }
}

// The property name of a record's first bytes (a 32-bit length, then the name and a NUL).
std::string PropertyName(const std::string& start) {
    if (start.size() <= 4) {
        return std::string();
    }
    return std::string(start.c_str() + 4);
}

void Walker::WalkRecords(uint64_t node, const NodeRecord& record, std::set<uint64_t>& node_pages,
                         std::string& name) {
    RecordPos position = record.first_record;
    RecordPos previous;
    std::set<std::string> properties;
    uint64_t limit = WalkBound(pool_.PageCount()) + kMaxLinksPerPage;
    for (uint64_t count = 0; position.page != 0; ++count) {
        if (count > limit || !CheckLink(position.page, Say("node ", node, ": record chain"))) {
            Problem(Say("node ", node, ": record chain is broken"));
            return;
        }
        PinnedPage page(&pool_, position.page, PinnedPage::ReadOnlyTag{},
                        "record page format error");
        RecordHeader header = page->ReadHeader(position.offset);
        if (owner_[position.page] == Owner::kNone) {
            owner_[position.page] = Owner::kData;
        }
        node_pages.insert(position.page);
        bool first = count == 0;
        bool last = header.next.page == 0;
        if (!header.Has(kRecordStart) || header.Has(kRecordDeleted)) {
            Problem(Say("node ", node, ": record at ", position.page, ":", position.offset,
                        " is deleted or not a record start"));
        }
        if (header.Has(kRecordFirst) != first || header.Has(kRecordLast) != last) {
            Problem(Say("node ", node, ": record at ", position.page, ":", position.offset,
                        " has wrong first/last flags ", header.flags));
        }
        if (!(header.previous == previous)) {
            Problem(Say("node ", node, ": record at ", position.page, ":", position.offset,
                        " links back to the wrong record"));
        }
        if (header.data_length < (first ? 1 : 0)) {
            Problem(Say("node ", node, ": record with data length ", header.data_length));
        } else {
            std::string start(kNameBytes, '\0');
            WalkData(node, position.page, position.offset + kRecordHeaderSize,
                     static_cast<uint32_t>(header.data_length), node_pages, start);
            if (first) {
                name.assign(start.c_str());
            } else if (!properties.insert(PropertyName(start)).second) {
                // A read by name finds only the first; the second is a torn edit's remains.
                Problem(
                    Say("node ", node, ": property \"", PropertyName(start), "\" is stored twice"));
            }
        }
        if (!first) {
            ++report_.records;
        }
        if (last && !(position == record.last_record)) {
            Problem(Say("node ", node, ": last record is not the one the node names"));
        }
        previous = position;
        position = header.next;
    }
    if (record.first_record.page == 0) {
        Problem(Say("node ", node, ": has no name record"));
    }
}

void Walker::WalkChildren(uint64_t node, const NodeRecord& record,
                          std::vector<std::pair<uint64_t, uint64_t>>& pending) {
    uint64_t previous = 0;
    uint64_t child = record.first_child;
    for (uint64_t walked = 0; child != 0; ++walked) {
        if (walked > pool_.PageCount() || !CheckLink(child, Say("node ", node, ": child list"))) {
            Problem(Say("node ", node, ": child list is broken"));
            return;
        }
        PinnedPage page(&pool_, child, PinnedPage::ReadOnlyTag{}, "node page format error");
        NodeRecord child_record = page->ReadNode();
        if (child_record.previous_sibling != previous) {
            Problem(Say("node ", child, ": previous sibling ", child_record.previous_sibling,
                        ", expected ", previous));
        }
        pending.emplace_back(child, node);
        previous = child;
        child = child_record.next_sibling;
    }
    if (record.last_child != previous) {
        Problem(Say("node ", node, ": last child ", record.last_child, ", expected ", previous));
    }
}

void Walker::WalkNode(uint64_t node, uint64_t parent,
                      std::vector<std::pair<uint64_t, uint64_t>>& pending) {
    if (!CheckLink(node, Say("node ", parent, ": child"))) {
        return;
    }
    if (owner_[node] == Owner::kNode) {
        Problem(Say("node ", node, " is reached twice"));
        return;
    }
    PinnedPage page(&pool_, node, PinnedPage::ReadOnlyTag{}, "node page format error");
    if (page.Head().PageType() != kPageTypeNode) {
        Problem(Say("node ", node, ": page type ", page.Head().PageType()));
        return;
    }
    owner_[node] = Owner::kNode;
    ++report_.nodes;
    NodeRecord record = page->ReadNode();
    if (record.parent != parent) {
        Problem(Say("node ", node, ": parent ", record.parent, ", expected ", parent));
    }
    std::set<uint64_t> node_pages{node};
    std::string name;
    WalkRecords(node, record, node_pages, name);
    NoteChildName(node, parent, name);
    if (record.tail_page != 0 && CheckLink(record.tail_page, Say("node ", node, ": tail page"))) {
        bool own = node_pages.count(record.tail_page) > 0 ||
                   (parent == 0 && owner_[record.tail_page] == Owner::kQueue);
        if (!own) {
            PinnedPage tail(&pool_, record.tail_page, PinnedPage::ReadOnlyTag{},
                            "tail page format error");
            own = tail.Head().PageType() == kPageTypeContinuation;
            if (owner_[record.tail_page] == Owner::kNone) {
                owner_[record.tail_page] = Owner::kData;  // an emptied page kept as the tail
            }
        }
        if (!own) {
            Problem(Say("node ", node, ": tail page ", record.tail_page, " is not its own"));
        }
    }
    WalkChildren(node, record, pending);
}

// Two children of one name are allowed, but a path reaches only the first: worth a note.
void Walker::NoteChildName(uint64_t node, uint64_t parent, const std::string& name) {
    if (parent == 0) {
        return;
    }
    auto [seen, inserted] = child_names_[parent].emplace(name, node);
    if (!inserted) {
        report_.notes.push_back(Say("node ", parent, ": children ", std::min(seen->second, node),
                                    " and ", std::max(seen->second, node), " are both named \"",
                                    name, "\"; a path reaches only the first of them"));
    }
}

void Walker::CheckPieces() {
    for (uint64_t number = 1; number < owner_.size(); ++number) {
        if (owner_[number] != Owner::kNode && owner_[number] != Owner::kData &&
            owner_[number] != Owner::kQueue) {
            continue;
        }
        PinnedPage page(&pool_, number, PinnedPage::ReadOnlyTag{}, "page format error");
        int64_t stored = static_cast<int32_t>(page.Head().PieceCount());
        int64_t counted = pieces_.count(number) ? pieces_[number] : 0;
        if (stored != counted) {
            Problem(Say("page ", number, ": piece count ", stored, ", live pieces ", counted));
        }
    }
}

void Walker::ListLeaks() {
    for (uint64_t number = 1; number < owner_.size(); ++number) {
        if (owner_[number] == Owner::kNone) {
            report_.leaks.push_back(Say("page ", number, " belongs to nothing"));
        }
    }
}

VerifyReport Walker::Run() {
    try {
        WalkFreeList();
        uint64_t root = WalkQueue();
        std::vector<std::pair<uint64_t, uint64_t>> pending;  // (node, its parent)
        if (root != 0) {
            WalkNode(root, 0, pending);
        }
        // Depth first without recursion: a deep tree cannot exhaust the stack.
        while (!pending.empty()) {
            auto [node, parent] = pending.back();
            pending.pop_back();
            WalkNode(node, parent, pending);
        }
        CheckPieces();
        ListLeaks();
    } catch (const MDException& e) {
        Problem(Say("walk stopped: ", e.GetTypeName(), ": ", e.GetMessage()));
    }
    return report_;
}

}  // namespace

std::string VerifyReport::Text() const {
    std::string text;
    for (const std::string& line : problems) {
        text += line + "\n";
    }
    for (const std::string& line : leaks) {
        text += line + "\n";
    }
    return text;
}

std::string VerifyReport::NotesText() const {
    std::string text;
    for (const std::string& line : notes) {
        text += "note: " + line + "\n";
    }
    return text;
}

VerifyReport TreeVerifier::Verify(Pager& pool) {
    return Walker(pool).Run();
}

}  // namespace brindle

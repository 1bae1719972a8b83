#include "brindle/repair.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>

#include "brindle/integrity.h"
#include "brindle/internal_database.h"
#include "brindle/key_address.h"
#include "brindle/wording.h"
#include "pool/write_transaction.h"
#include "tree/tree_verifier.h"
#include "vell/mem_cache.h"

namespace brindle::tool {
namespace {

namespace fs = std::filesystem;

// The verifier's findings, sorted by what repair does about them.
struct Faults {
    std::map<uint64_t, uint32_t> piece_counts;  // page -> the live pieces it holds
    std::vector<uint64_t> leaks;
    std::vector<std::string> free_list;
    std::vector<std::string> other;
};

Faults Classify(const VerifyReport& report) {
    static const std::regex kPieceCount(R"(page (\d+): piece count -?\d+, live pieces (\d+))");
    static const std::regex kLeak(R"(page (\d+) belongs to nothing)");
    // Found and mended by the duplicate-name pass, which reads the keys itself.
    static const std::regex kDuplicate(R"(node \d+: property ".*" is stored twice)");
    Faults faults;
    std::smatch match;
    for (const std::string& problem : report.problems) {
        if (std::regex_match(problem, match, kPieceCount)) {
            faults.piece_counts[std::stoull(match[1])] =
                static_cast<uint32_t>(std::stoul(match[2]));
        } else if (std::regex_match(problem, kDuplicate)) {
            continue;
        } else if (problem.rfind("free list:", 0) == 0) {
            faults.free_list.push_back(problem);
        } else {
            faults.other.push_back(problem);
        }
    }
    for (const std::string& leak : report.leaks) {
        if (std::regex_match(leak, match, kLeak)) {
            faults.leaks.push_back(std::stoull(match[1]));
        }
    }
    return faults;
}

// One property record of a key's listing: its name and its stored bytes.
struct StoredProperty {
    std::string name;
    std::vector<uint8_t> record;
};

std::vector<StoredProperty> ListProperties(TreeStore& tree, uint64_t node) {
    vell::MemCache block;
    uint32_t total = 0;
    if (tree.GetNodeAllRecords(node, block, total, TreeStore::RecordsForm::kListing24) !=
        Status::kOk) {
        throw ToolError("cannot read the properties of node " + std::to_string(node));
    }
    // After a 24-byte head, each record as a 32-bit length and the record: its own 32-bit
    // length, the name with a NUL, the value.
    std::vector<StoredProperty> properties;
    for (uint32_t at = 24; at + 4 <= total;) {
        const uint8_t* entry = block.Data() + at;
        const uint32_t length = vell::LoadU32(entry);
        if (length < 5 || at + 4 + length > total) {
            throw ToolError("node " + std::to_string(node) + " holds a malformed property");
        }
        const char* name = reinterpret_cast<const char*>(entry + 8);
        properties.push_back(StoredProperty{std::string(name, strnlen(name, length - 4)),
                                            std::vector<uint8_t>(entry + 4, entry + 4 + length)});
        at += 4 + length;
    }
    return properties;
}

class Repairer {
public:
    explicit Repairer(InternalDatabase& database) : database_(database) {}

    // Every change of a repair is one write transaction: it is made whole or not at all.
    std::vector<std::string> Run() {
        WriteTransaction transaction(&database_.Pool());
        Faults faults = Classify(TreeVerifier::Verify(database_.Pool()));
        if (!faults.other.empty()) {
            throw ToolError(
                "cannot repair: the database has faults repair does not mend, "
                "first: " +
                faults.other.front());
        }
        RemoveDuplicateProperties();
        faults = Classify(TreeVerifier::Verify(database_.Pool()));
        FixPieceCounts(faults.piece_counts);
        if (!faults.free_list.empty()) {
            StartNewFreeList(faults.free_list.front());
            faults = Classify(TreeVerifier::Verify(database_.Pool()));
        }
        ReturnLeakedPages(faults.leaks);
        transaction.Commit();
        return changes_;
    }

private:
    // Depth first over every key; a key's address is built from the names on the way.
    void RemoveDuplicateProperties() {
        TreeStore& tree = database_.Tree();
        std::vector<std::pair<uint64_t, KeyAddress>> pending = {{tree.RootPage(), KeyAddress()}};
        while (!pending.empty()) {
            auto [node, address] = pending.back();
            pending.pop_back();
            if (!address.IsDatabase()) {
                RemoveDuplicatesOf(node, address);
            }
            std::vector<std::pair<uint64_t, std::string>> children;
            if (!tree.GetSubNodes(node, children)) {
                throw ToolError("cannot list the keys below '" + address.ToString() + "'");
            }
            for (const auto& [child, name] : children) {
                pending.emplace_back(child, address.Child(name));
            }
        }
    }

    void RemoveDuplicatesOf(uint64_t node, const KeyAddress& address) {
        for (bool again = true; again;) {
            again = false;
            const std::vector<StoredProperty> properties = ListProperties(database_.Tree(), node);
            std::map<std::string, std::size_t> count;
            for (const StoredProperty& property : properties) {
                ++count[property.name];
            }
            for (std::size_t i = 0; i < properties.size() && !again; ++i) {
                if (count[properties[i].name] > 1) {
                    KeepFirst(node, properties, i, count[properties[i].name]);
                    changes_.push_back(
                        "key '" + address.ToString() + "': removed " +
                        Counted(count[properties[i].name] - 1, "more property", "more properties") +
                        " named '" + properties[i].name + "', kept the one a read by name returns");
                    again = true;
                }
            }
        }
    }

    // Deletes every record named like properties[first] (a delete by name always takes the
    // one a read returns) and puts that one back where it stood.
    void KeepFirst(uint64_t node, const std::vector<StoredProperty>& properties, std::size_t first,
                   std::size_t copies) {
        TreeStore& tree = database_.Tree();
        const StoredProperty& kept = properties[first];
        for (std::size_t i = 0; i < copies; ++i) {
            if (tree.DeleteNodePropertyByName(node, kept.name) != Status::kOk) {
                throw ToolError("cannot delete property '" + kept.name + "'");
            }
        }
        const std::string* successor = nullptr;
        for (std::size_t i = first + 1; i < properties.size() && successor == nullptr; ++i) {
            successor = properties[i].name != kept.name ? &properties[i].name : nullptr;
        }
        RecordPos before;
        const auto size = static_cast<uint32_t>(kept.record.size());
        const bool placed =
            successor != nullptr && tree.FindNodeProperty(node, *successor, before)
                ? tree.InsertNodeRecord(node, before, kept.record.data(), size) == Status::kOk
                : tree.AppendNodeRecord(node, kept.record.data(), size);
        if (!placed) {
            throw ToolError("cannot write property '" + kept.name + "' back");
        }
    }

    void FixPieceCounts(const std::map<uint64_t, uint32_t>& counts) {
        Pager& pool = database_.Pool();
        for (const auto& [number, live] : counts) {
            Page* page = pool.GetPage(number);
            if (page == nullptr) {
                throw ToolError("cannot read page " + std::to_string(number));
            }
            const uint32_t stored = page->Head().PieceCount();
            page->ChangeHead().SetPieceCount(live);
            pool.ReleasePage(page);
            changes_.push_back("page " + std::to_string(number) + ": piece count " +
                               std::to_string(static_cast<int32_t>(stored)) + " set to " +
                               std::to_string(live) + ", the pieces that live on it");
        }
    }

    void StartNewFreeList(const std::string& fault) {
        Pager& pool = database_.Pool();
        const uint64_t pages = pool.PageCount();
        if (!pool.InitFreePageList()) {
            throw ToolError("cannot start a new free list");
        }
        changes_.push_back("free list: broken (" + fault + "); started a new one of " +
                           std::to_string(pool.PageCount() - pages) +
                           " new pages, the old free pages follow");
    }

    void ReturnLeakedPages(const std::vector<uint64_t>& leaks) {
        Pager& pool = database_.Pool();
        for (uint64_t number : leaks) {
            Page* page = pool.GetPage(number);
            if (page == nullptr) {
                throw ToolError("cannot read page " + std::to_string(number));
            }
            // Pages of a broken free list still look free; FreePage takes a page as new only
            // when it is not marked and linked as one.
            PageHeadView head = page->ChangeHead();
            head.Clear(kPageUnused);
            head.SetPrev(0);
            head.SetNext(0);
            pool.FreePage(page);
            changes_.push_back("page " + std::to_string(number) +
                               ": returned to the free list (it belonged to nothing)");
        }
    }

    InternalDatabase& database_;
    std::vector<std::string> changes_;
};

std::vector<std::string> DataFiles(const std::string& base) {
    std::vector<std::string> files;
    for (int number = 1; number <= 300 && fs::exists(DataFileName(base, number)); ++number) {
        files.push_back(DataFileName(base, number));
    }
    return files;
}

// The copy's data files, removed again unless the repair of the copy succeeds.
class Copy {
public:
    Copy(const std::string& from, std::string to) : to_(std::move(to)) {
        std::error_code absent;
        if (fs::exists(fs::symlink_status(DataFileName(to_, 1), absent))) {
            throw ToolError("a database exists at '" + to_ +
                            "' already; name another with -o, or repair with --in-place");
        }
        std::error_code ignored;
        fs::create_directories(fs::path(to_).parent_path(), ignored);
        for (std::size_t i = 0; i < DataFiles(from).size(); ++i) {
            const int number = static_cast<int>(i) + 1;
            std::error_code error;
            fs::copy_file(DataFileName(from, number), DataFileName(to_, number), error);
            if (error) {
                throw ToolError("cannot copy the database to '" + to_ + "': " + error.message());
            }
        }
        // Changes committed before an unclean close live in the journal until it is replayed.
        fs::copy_file(from + ".journal", to_ + ".journal", absent);
    }
    ~Copy() {
        if (!kept_) {
            for (const std::string& file : DataFiles(to_)) {
                std::error_code ignored;
                fs::remove(file, ignored);
            }
            std::error_code ignored;
            fs::remove(to_ + ".journal", ignored);
        }
    }
    void Keep() { kept_ = true; }

private:
    std::string to_;
    bool kept_ = false;
};

}  // namespace

RepairOutcome RepairDatabase(const DatabaseAccess& access, const RepairRequest& request) {
    PrepareOpen(access);
    // Faults of the files themselves (an empty or headless data file, one missing or cut
    // short) are no faults of the pages repair mends; said before any copy is made.
    bool mendable = true;
    const std::string damage = DescribeDamage(access.path, {}, mendable);
    if (!mendable) {
        throw ToolError("cannot repair '" + access.path + "': " + damage +
                        "; repair mends the pages of whole data files, not the files "
                        "themselves: restore the database from a backup");
    }
    RepairOutcome outcome;
    outcome.repaired = request.in_place            ? access.path
                       : request.copy_path.empty() ? access.path + "-repaired"
                                                   : request.copy_path;
    std::unique_ptr<Copy> copy;
    if (!request.in_place) {
        // No process may change the files while they are copied.
        const ExclusiveHold hold(access);
        copy = std::make_unique<Copy>(access.path, outcome.repaired);
    }
    {
        DatabaseAccess target = access;
        target.path = outcome.repaired;
        InternalDatabase database(target, access.path);
        outcome.changes = Repairer(database).Run();
        const VerifyReport after = TreeVerifier::Verify(database.Pool());
        if (!after.Sound() || !after.leaks.empty()) {
            throw ToolError("the repair left " +
                            Counted(after.problems.size() + after.leaks.size(), "fault") +
                            ", first: " + after.Text().substr(0, after.Text().find('\n')));
        }
    }
    if (outcome.changes.empty()) {
        outcome.repaired = access.path;  // sound as it was: no copy is left
    } else if (copy) {
        copy->Keep();
    }
    return outcome;
}

}  // namespace brindle::tool

// Damages a database on purpose, through the internal layers, so that the tool's repair has
// something to mend:
//   damage_database BASE duplicate MAINKEY NAME VALUE   a second string property NAME
//   damage_database BASE pieces MAINKEY DELTA           the main key's node page miscounted
//   damage_database BASE leak                           a page taken and linked nowhere
//   damage_database BASE freelist                       the first free page links back wrongly
//   damage_database BASE retype MAINKEY                 the main key's node page mistyped
//   damage_database BASE where MAINKEY [SUBKEY...]      prints where the key's node page lies
//                                                       in its data file: FILE OFFSET SIZE
//   damage_database BASE journal MAINKEY                three changes left in the journal, the
//                                                       first record's bytes then damaged
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "brindle/database_access.h"
#include "brindle/internal_database.h"
#include "pool/journal.h"
#include "pool/pool_head.h"
#include "pool/write_transaction.h"
#include "tree/property_record.h"

namespace {

using brindle::tool::InternalDatabase;

uint64_t MainKeyNode(InternalDatabase& database, const std::string& name) {
    uint64_t node = 0;
    if (!database.Tree().GetSubNodeIndex(database.Tree().RootPage(), name, node)) {
        throw std::runtime_error("no main key " + name);
    }
    return node;
}

void Duplicate(InternalDatabase& database, const std::string& key, const std::string& name,
               const std::string& value) {
    const brindle::NamedValue property(name, vell::VariableData(value.c_str()));
    uint32_t size = 0;
    brindle::EncodeProperty(property, nullptr, size);
    std::vector<uint8_t> record(size);
    if (!brindle::EncodeProperty(property, record.data(), size) ||
        !database.Tree().AppendNodeRecord(MainKeyNode(database, key), record.data(), size)) {
        throw std::runtime_error("cannot append the record");
    }
}

// Changes a pinned page's head as one committed change, and releases it.
template <typename Pin, typename Change>
void EditPage(InternalDatabase& database, Pin pin, Change change) {
    brindle::WriteTransaction transaction(&database.Pool());
    brindle::Page* page = pin();
    page->MarkChanged();
    change(*page);
    database.Pool().ReleasePage(page);
    transaction.Commit();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        InternalDatabase database(brindle::tool::DatabaseAccess{args.at(0), false, 0});
        auto& pool = database.Pool();
        const std::string how = args.size() > 1 ? args[1] : "";
        if (how == "duplicate" && args.size() == 5) {
            brindle::WriteTransaction transaction(&database.Pool());
            Duplicate(database, args[2], args[3], args[4]);
            transaction.Commit();
        } else if (how == "pieces" && args.size() == 4) {
            const auto delta = static_cast<uint32_t>(std::stoi(args[3]));
            EditPage(
                database, [&] { return pool.GetPage(MainKeyNode(database, args[2])); },
                [delta](brindle::Page& page) {
                    page.ChangeHead().SetPieceCount(page.Head().PieceCount() + delta);
                });
        } else if (how == "retype" && args.size() == 3) {
            EditPage(
                database, [&] { return pool.GetPage(MainKeyNode(database, args[2])); },
                [](brindle::Page& page) {
                    page.ChangeHead().SetPageType(page.Head().PageType() + 1);
                });
        } else if (how == "where" && args.size() >= 3) {
            uint64_t node = database.Tree().RootPage();
            for (std::size_t i = 2; i < args.size(); ++i) {
                if (!database.Tree().GetSubNodeIndex(node, args[i], node)) {
                    throw std::runtime_error("no key " + args[i]);
                }
            }
            int file = 0;
            uint32_t offset = 0;
            if (!brindle::GetPagePosition(pool.MainHead(), node, file, offset)) {
                throw std::runtime_error("no place for page " + std::to_string(node));
            }
            std::printf("%d %u %u\n", file, offset, pool.PageSize());
        } else if (how == "journal" && args.size() == 3) {
            // Three committed changes of a property left in the journal by a process that
            // ends without closing, then one byte of the first record flipped: damage, since
            // whole records follow it.
            for (int round = 0; round < 3; ++round) {
                brindle::WriteTransaction transaction(&database.Pool());
                Duplicate(database, args[2], "note", "v" + std::to_string(round));
                transaction.Commit();
            }
            const std::string journal = brindle::Journal::PathFor(args.at(0));
            std::FILE* file = std::fopen(journal.c_str(), "r+b");
            if (file == nullptr || std::fseek(file, 100, SEEK_SET) != 0) {
                throw std::runtime_error("no journal");
            }
            const int byte = std::fgetc(file);
            std::fseek(file, 100, SEEK_SET);
            std::fputc(byte ^ 1, file);
            std::fclose(file);
            std::fflush(nullptr);
            _exit(0);
        } else if (how == "leak") {
            EditPage(
                database, [&] { return pool.NewPage(); }, [](brindle::Page&) {});
        } else if (how == "freelist") {
            EditPage(
                database, [&] { return pool.GetPage(pool.FreeHead()); },
                [](brindle::Page& page) { page.ChangeHead().SetPrev(page.Number() + 1); });
        } else {
            std::fprintf(stderr, "damage_database: unknown damage\n");
            return 2;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "damage_database: %s\n", error.what());
        return 1;
    }
    return 0;
}

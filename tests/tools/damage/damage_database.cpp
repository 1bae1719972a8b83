// Damages a database on purpose, through the internal layers, so that the tool's repair has
// something to mend:
//   damage_database BASE duplicate MAINKEY NAME VALUE   a second string property NAME
//   damage_database BASE pieces MAINKEY DELTA           the main key's node page miscounted
//   damage_database BASE leak                           a page taken and linked nowhere
//   damage_database BASE freelist                       the first free page links back wrongly
//   damage_database BASE retype MAINKEY                 the main key's node page mistyped
#include <cstdio>
#include <string>
#include <vector>

#include "brindle/database_access.h"
#include "brindle/internal_database.h"
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

void Miscount(InternalDatabase& database, const std::string& key, int delta) {
    brindle::Page* page = database.Pool().GetPage(MainKeyNode(database, key));
    page->Head().SetPieceCount(page->Head().PieceCount() + static_cast<uint32_t>(delta));
    page->SetDirty();
    database.Pool().ReleasePage(page);
}

void Retype(InternalDatabase& database, const std::string& key) {
    brindle::Page* page = database.Pool().GetPage(MainKeyNode(database, key));
    page->Head().SetPageType(page->Head().PageType() + 1);
    page->SetDirty();
    database.Pool().ReleasePage(page);
}

void Leak(InternalDatabase& database) {
    brindle::Page* page = database.Pool().NewPage();
    page->SetDirty();
    database.Pool().ReleasePage(page);
}

void BreakFreeList(InternalDatabase& database) {
    brindle::Page* page = database.Pool().GetPage(database.Pool().FreeHead());
    page->Head().SetPrev(page->Number() + 1);
    page->SetDirty();
    database.Pool().ReleasePage(page);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: damage_database BASE duplicate|pieces|leak|freelist ...\n");
        return 2;
    }
    try {
        InternalDatabase database(brindle::tool::DatabaseAccess{args[0], false, 0});
        if (args[1] == "duplicate" && args.size() == 5) {
            Duplicate(database, args[2], args[3], args[4]);
        } else if (args[1] == "pieces" && args.size() == 4) {
            Miscount(database, args[2], std::stoi(args[3]));
        } else if (args[1] == "retype" && args.size() == 3) {
            Retype(database, args[2]);
        } else if (args[1] == "leak") {
            Leak(database);
        } else if (args[1] == "freelist") {
            BreakFreeList(database);
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

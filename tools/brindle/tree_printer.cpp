#include "brindle/tree_printer.h"

#include "brindle/commands.h"
#include "brindle/progress.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

class TreePrinter {
public:
    TreePrinter(Database& database, bool properties, std::ostream& out)
        : database_(database), properties_(properties), out_(out), progress_("listing", 0, true) {}

    // Prints the key at `address` indented to `level`, then `levels` levels of keys below it
    // (all of them when negative). The key is opened before its line is printed, so that a
    // missing key prints nothing.
    void Print(const KeyAddress& address, int level, int levels) {
        std::vector<std::string> children;
        {
            Key key = database_.Open(address);
            const std::string indent(static_cast<std::size_t>(level) * 2, ' ');
            out_ << indent << DisplayText(address.Leaf(), 0) << "/\n";
            if (properties_) {
                for (const auto& [name, value] : key.Properties()) {
                    out_ << indent << "  " << DisplayText(name, 0) << " = "
                         << DisplayText(FormatValue(value), kShownValueLength) << "  ["
                         << TypeName(value.GetType()) << "]\n";
                }
            }
            if (levels != 0) {
                children = key.SubKeys();
            }
        }
        progress_.Step();
        for (const std::string& child : children) {
            Print(address.Child(child), level + 1, levels - 1);
        }
    }

private:
    Database& database_;
    bool properties_;
    std::ostream& out_;
    Progress progress_;
};

}  // namespace

void PrintTree(Database& database, const KeyAddress& start, int depth, bool properties,
               std::ostream& out) {
    TreePrinter printer(database, properties, out);
    if (!start.IsDatabase()) {
        printer.Print(start, 0, depth);
        return;
    }
    if (depth == 0) {
        return;
    }
    for (const std::string& name : database.MainKeys()) {
        printer.Print(KeyAddress({name}), 0, depth > 0 ? depth - 1 : depth);
    }
}

}  // namespace brindle::tool

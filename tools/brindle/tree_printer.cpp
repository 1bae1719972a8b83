#include "brindle/tree_printer.h"

#include "brindle/commands.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

// Values longer than this are cut in a tree; `get` and `props` show them whole.
constexpr std::size_t kShownValueLength = 60;

class TreePrinter {
public:
    TreePrinter(Database& database, bool properties, std::ostream& out)
        : database_(database), properties_(properties), out_(out) {}

    // Prints the key at `address` indented to `level`, then `levels` levels of keys below it
    // (all of them when negative).
    void Print(const KeyAddress& address, int level, int levels) {
        const std::string indent(static_cast<std::size_t>(level) * 2, ' ');
        out_ << indent << DisplayText(address.Leaf(), 0) << "/\n";
        std::vector<std::string> children;
        {
            Key key = database_.Open(address);
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
        for (const std::string& child : children) {
            Print(address.Child(child), level + 1, levels - 1);
        }
    }

private:
    Database& database_;
    bool properties_;
    std::ostream& out_;
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

// A small host program: opens (or creates) a database, makes a main key with a few sub keys,
// stores properties of several types, lists everything back and closes.
//
//   host_example [database path]     (default: ./example-db)

#include <cstdio>
#include <list>
#include <string>
#include <utility>

#include "brindle.h"

namespace {

std::string Describe(const vell::VariableData& value) {
    switch (value.GetType()) {
        case vell::TypeString:
            return std::string("\"") + value.GetString() + "\"";
        case vell::TypeInt:
            return std::to_string(value.GetInt());
        case vell::TypeInt64:
            return std::to_string(value.GetInt64());
        case vell::TypeDouble:
            return std::to_string(value.GetDouble());
        case vell::TypeBinary: {
            int length = 0;
            value.GetBinary(nullptr, length);
            return std::to_string(length) + " bytes";
        }
        case vell::TypeDateTime: {
            vell::DateTime when;
            value.GetDateTime(when);
            return when.Format();
        }
        default:
            return "type " + std::to_string(value.GetType());
    }
}

void ListKey(void* key, const std::string& label) {
    std::list<std::pair<std::string, vell::VariableData>> properties;
    std::list<std::string> children;
    if (BRN_SelectKeyPropertys(key, properties) != BRN_OK ||
        BRN_SelectSubKeys(key, children) != BRN_OK) {
        std::printf("%s: cannot be listed\n", label.c_str());
        return;
    }
    std::printf("%s\n", label.c_str());
    for (auto& [name, value] : properties) {
        std::printf("  %s = %s\n", name.c_str(), Describe(value).c_str());
    }
    for (auto& child : children) {
        std::printf("  [%s]\n", child.c_str());
    }
}

int Run(void* file) {
    // Open the main key, creating it on the first run.
    void* settings = nullptr;
    int result = BRN_OpenKey(file, settings, "settings", "", MODE_OPEN);
    if (result == BRN_ERR_MAIN_KEY_NOT_FOUND) {
        BRN_CloseBRNHandle(settings);
        result = BRN_OpenKey(file, settings, "settings", "", MODE_CREATE);
    }
    if (result != BRN_OK) {
        std::printf("cannot open the main key: %d\n", result);
        BRN_CloseBRNHandle(settings);
        return 1;
    }

    // Sub keys: a named one, and one named by the library.
    std::string display = "display";
    BRN_AppendSubKey(settings, display);  // 16 when it exists from an earlier run
    std::string generated;
    if (BRN_AppendSubKey(settings, generated) == BRN_OK) {
        std::printf("the library named a new sub key \"%s\"\n", generated.c_str());
    }

    // Properties of several types; edit those that exist from an earlier run.
    void* key = nullptr;
    BRN_OpenKey(file, key, "settings", "display", MODE_OPEN);
    const unsigned char icon[] = {0x89, 'P', 'N', 'G'};
    std::pair<std::string, vell::VariableData> values[] = {
        {"title", vell::VariableData("Brindle example")},
        {"width", vell::VariableData(1280)},
        {"scale", vell::VariableData(1.25)},
        {"bytes written", vell::VariableData(int64_t{1} << 33)},
        {"icon", vell::VariableData(icon, sizeof(icon))},
        {"opened", vell::VariableData()},
    };
    values[5].second.SetDateTime(vell::DateTime::Now());
    for (auto& [name, value] : values) {
        if (BRN_AppendProperty(key, name, value) == BRN_ERR_PROPERTY_EXISTS) {
            BRN_EditProperty(key, name, value);
        }
    }

    vell::VariableData width;
    if (BRN_GetKeyProperty(key, "width", width) == BRN_OK) {
        std::printf("width is %d\n", width.GetInt());
    }
    std::list<std::string> main_keys;
    BRN_GetAllMainKeys(key, main_keys);
    for (auto& name : main_keys) {
        std::printf("main key: %s\n", name.c_str());
    }
    ListKey(settings, "settings");
    ListKey(key, "settings\\display");

    BRN_CloseBRNHandle(key);
    BRN_CloseBRNHandle(settings);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "./example-db";
    void* file = nullptr;
    int opened = BRN_OpenFile(path, file, 0);
    if (opened != BRN_OK) {
        std::printf("cannot open the database at %s: %d\n", path, opened);
        return 1;
    }
    int status = 1;
    try {
        status = Run(file);
    } catch (const MDException& e) {
        std::printf("%s: %s\n", e.GetTypeName(), e.GetMessage());
    }
    BRN_CloseBRNFHandle(file);
    return status;
}

// The JSON API of `brindle serve`: one route per operation. Keys are named by JSON arrays
// of their names (["App", "net"]), so every name is exact; values are read with the value
// parser of `brindle set`, and refusals carry the tool's result codes and messages.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <fstream>
#include <functional>
#include <iterator>

#include "brindle.h"
#include "brindle/dump_reader.h"
#include "brindle/json_codec.h"
#include "brindle/json_property.h"
#include "brindle/key_operations.h"
#include "brindle/result_codes.h"
#include "brindle/serve.h"
#include "brindle/tool_error.h"
#include "brindle/value_text.h"
#include "md_exception.h"

namespace brindle::tool {
namespace {

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

// Children listed per request unless the page asks for fewer: a key with a great many
// children is paged through, never sent whole.
constexpr std::size_t kPageOfChildren = 200;
// Bytes of a binary value shown as hex in a listing; the size tells the rest.
constexpr std::size_t kShownBinaryBytes = 64;

const char* CodeName(int code) {
    for (const ResultCode& entry : ResultCodes()) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "";
}

int StatusOf(int code) {
    switch (code) {
        case BRN_ERR_KEY_NOT_FOUND:
        case BRN_ERR_MAIN_KEY_NOT_FOUND:
        case BRN_ERR_PROPERTY_NOT_FOUND:
            return 404;
        case BRN_ERR_READ_ONLY:
        case BRN_ERR_OPENED_READ_ONLY:
            return 403;
        case BRN_ERR_KEY_EXISTS:
        case BRN_ERR_FILE_EXISTS:
            return 409;
        default:
            return 400;
    }
}

void SendError(httplib::Response& response, int status, int code, const std::string& message) {
    response.status = status;
    response.set_content(
        Json{{"code", code}, {"name", CodeName(code)}, {"message", message}}.dump(),
        "application/json");
}

void SendJson(httplib::Response& response, const Json& json) {
    response.set_content(json.dump(), "application/json");
}

// What the page's input got wrong (a value `set` would refuse) is an invalid argument; an
// export's refusal keeps its own code.
void SendToolError(httplib::Response& response, const ToolError& error) {
    const int code = error.code() == 0 ? BRN_ERR_INVALID_ARGUMENT : error.code();
    SendError(response, StatusOf(code), code, error.what());
}

// Runs `body` with the database to itself, turning every failure into an error answer.
// Changing routes are refused at once on a server started with --read-only.
Handler Route(ServeState& state, bool changing, Handler body) {
    return [&state, changing, body](const httplib::Request& request, httplib::Response& response) {
        if (changing && state.read_only) {
            SendError(response, 403, BRN_ERR_OPENED_READ_ONLY,
                      "the server was started with --read-only: " +
                          ResultMessage(BRN_ERR_OPENED_READ_ONLY));
            return;
        }
        const std::lock_guard<std::mutex> lock(state.database_mutex);
        try {
            body(request, response);
        } catch (const ToolError& error) {
            SendToolError(response, error);
        } catch (const Json::exception& error) {
            SendError(response, 400, BRN_ERR_INVALID_ARGUMENT,
                      std::string("the request is not as the API takes it: ") + error.what());
        } catch (const MDException& error) {
            SendError(response, 500, BRN_ERR_EXCEPTION,
                      std::string("the library raised ") + error.GetTypeName() + ": " +
                          error.GetMessage());
        } catch (const std::exception& error) {
            SendError(response, 500, BRN_FAIL, error.what());
        }
    };
}

KeyAddress AddressFromJson(const Json& names) {
    if (!names.is_array()) {
        throw ToolError("a key is named by a JSON array of its names");
    }
    std::vector<std::string> levels;
    for (const Json& name : names) {
        levels.push_back(NameFromJson(name, "key"));
    }
    return KeyAddress(std::move(levels));
}

KeyAddress KeyParam(const httplib::Request& request) {
    return AddressFromJson(Json::parse(request.get_param_value("key")));
}

KeyAddress NamedKey(const KeyAddress& address) {
    if (address.IsDatabase()) {
        throw ToolError("name a key, not the database");
    }
    return address;
}

Json Body(const httplib::Request& request) {
    return Json::parse(request.body);
}

std::size_t SizeParam(const httplib::Request& request, const char* name, std::size_t fallback) {
    if (!request.has_param(name)) {
        return fallback;
    }
    const std::string text = request.get_param_value(name);
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw ToolError(std::string(name) + " takes a whole number, not '" + text + "'");
    }
    return value;
}

struct Child {
    std::string name;
    bool hidden = false;
    bool read_only = false;
};

std::vector<Child> MainKeysOf(ServeState& state) {
    std::vector<Child> keys;
    for (const MainKeyListing& key : ListedMainKeys(*state.database)) {
        keys.push_back({key.name, false, key.read_only});
    }
    for (const auto& [name, read_only] : state.hidden_read_only) {
        if (state.database->Exists(KeyAddress({name}))) {
            keys.push_back({name, true, read_only});
        }
    }
    std::sort(keys.begin(), keys.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    return keys;
}

std::vector<Child> ChildrenOf(ServeState& state, const KeyAddress& address) {
    if (address.IsDatabase()) {
        return MainKeysOf(state);
    }
    std::vector<Child> children;
    for (std::string& name : state.database->Open(address).SubKeys()) {
        children.push_back({std::move(name)});
    }
    return children;
}

void ListKeys(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const KeyAddress address = KeyParam(request);
    const std::string filter = request.get_param_value("filter");
    const std::size_t offset = SizeParam(request, "offset", 0);
    const std::size_t limit =
        std::min(SizeParam(request, "limit", kPageOfChildren), kPageOfChildren);
    std::vector<Child> children = ChildrenOf(state, address);
    if (!filter.empty()) {
        std::erase_if(children, [&filter](const Child& child) {
            return child.name.find(filter) == std::string::npos;
        });
    }
    Json listed = Json::array();
    for (std::size_t i = offset; i < children.size() && i < offset + limit; ++i) {
        Json child{{"name", TextToJson(children[i].name)}};
        if (address.IsDatabase()) {
            child["hidden"] = children[i].hidden;
            child["readonly"] = children[i].read_only;
        }
        listed.push_back(std::move(child));
    }
    SendJson(response, Json{{"total", children.size()}, {"offset", offset}, {"keys", listed}});
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

Json PropertyView(const std::string& name, const vell::VariableData& value) {
    Json view{{"name", TextToJson(name)}, {"type", TypeName(value.GetType())}};
    if (value.GetType() == vell::TypeBinary) {
        const std::string bytes = BinaryBytes(value);
        view["size"] = bytes.size();
        view["hex"] = Hex(bytes.substr(0, kShownBinaryBytes));
    }
    view["text"] = TextToJson(FormatValue(value));
    return view;
}

void ListProperties(ServeState& state, const httplib::Request& request,
                    httplib::Response& response) {
    const KeyAddress address = NamedKey(KeyParam(request));
    Key key = state.database->Open(address);
    Json properties = Json::array();
    for (const auto& [name, value] : key.Properties()) {
        properties.push_back(PropertyView(name, value));
    }
    const bool main_read_only = key.IsReadOnly();
    SendJson(response, Json{{"readonly", main_read_only || state.read_only},
                            {"main_readonly", main_read_only},
                            {"properties", properties}});
}

void SetProperty(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const Json body = Body(request);
    const KeyAddress address = NamedKey(AddressFromJson(body.at("key")));
    const std::string name = NameFromJson(body.at("name"), "name");
    const vell::VariableType type = ParseTypeName(body.at("type").get<std::string>());
    // The value is checked before the key is opened: a value `set` refuses writes nothing.
    const vell::VariableData value = ParseValue(type, TextFromJson(body.at("value"), "value"));
    state.database->Open(address).Set(name, value);
    SendJson(response, PropertyView(name, value));
}

void UnsetProperty(ServeState& state, const httplib::Request& request,
                   httplib::Response& response) {
    const Json body = Body(request);
    const KeyAddress address = NamedKey(AddressFromJson(body.at("key")));
    state.database->Open(address).DeleteProperty(NameFromJson(body.at("name"), "name"));
    SendJson(response, Json::object());
}

void MakeKey(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const Json body = Body(request);
    const KeyAddress parent = AddressFromJson(body.at("key"));
    const std::string name = NameFromJson(body.at("name"), "name");
    if (parent.IsDatabase()) {
        state.database->CreateMainKey(name, false, false);
    } else {
        state.database->Open(parent).AppendSubKey(name);
    }
    SendJson(response, Json::object());
}

void MeasureKey(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const SubtreeSize size = Measure(*state.database, NamedKey(KeyParam(request)));
    SendJson(response, Json{{"keys", size.keys}, {"properties", size.properties}});
}

void RemoveKey(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const Json body = Body(request);
    state.database->Open(NamedKey(AddressFromJson(body.at("key")))).Delete();
    SendJson(response, Json::object());
}

void RenameKey(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const Json body = Body(request);
    const KeyAddress address = NamedKey(AddressFromJson(body.at("key")));
    RenameKeyInPlace(*state.database, address, NameFromJson(body.at("name"), "name"));
    SendJson(response, Json::object());
}

// A name for a file the server writes into its own scratch folder.
std::string ScratchFile(const ServeState& state, const char* kind) {
    static std::atomic<unsigned> counter{0};
    return state.scratch_folder + "/" + kind + "-" + std::to_string(++counter) + ".brx";
}

std::string ReadWhole(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The key's leaf name as a download's file name: what a file name may safely hold.
std::string DownloadName(const KeyAddress& address, const char* extension) {
    std::string name;
    for (char c : address.Leaf()) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
        name += plain ? c : '_';
    }
    return "attachment; filename=\"" + name + extension + "\"";
}

void ExportKey(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const KeyAddress address = NamedKey(KeyParam(request));
    const std::string file = ScratchFile(state, "export");
    state.database->Open(address).Export(file, false);
    const std::string bytes = ReadWhole(file);
    ::unlink(file.c_str());
    response.set_header("Content-Disposition", DownloadName(address, ".brx"));
    response.set_content(bytes, "application/octet-stream");
}

void ImportFile(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const std::string file = ScratchFile(state, "import");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(request.body.data(), static_cast<std::streamsize>(request.body.size()));
        if (!out.flush()) {
            throw ToolError("cannot keep the uploaded file in " + state.scratch_folder);
        }
    }
    try {
        state.database->Import(file, false);
    } catch (const ToolError& error) {
        ::unlink(file.c_str());
        // The scratch file's name means nothing to the user.
        throw ToolError("cannot import the uploaded file: " + ResultMessage(error.code()),
                        error.code());
    }
    ::unlink(file.c_str());
    SendJson(response, Json::object());
}

void DumpKey(ServeState& state, const httplib::Request& request, httplib::Response& response) {
    const KeyAddress address = NamedKey(KeyParam(request));
    response.set_header("Content-Disposition", DownloadName(address, ".json"));
    response.set_content(DocumentToJson(ReadDocument(*state.database, address)),
                         "application/json");
}

void Info(ServeState& state, const httplib::Request&, httplib::Response& response) {
    Json types = Json::array();
    for (int type = vell::TypeEmpty; type <= vell::TypeDateTime; ++type) {
        types.push_back(TypeName(type));
    }
    SendJson(response, Json{{"database", state.database->Path()},
                            {"readonly", state.read_only},
                            {"upload_limit", state.upload_limit},
                            {"types", types}});
}

}  // namespace

void AddApiRoutes(httplib::Server& server, ServeState& state) {
    using Operation = void (*)(ServeState&, const httplib::Request&, httplib::Response&);
    const auto bind = [&state](Operation operation) {
        return [&state, operation](const httplib::Request& request, httplib::Response& response) {
            operation(state, request, response);
        };
    };
    server.Get("/api/info", Route(state, false, bind(Info)));
    server.Get("/api/keys", Route(state, false, bind(ListKeys)));
    server.Get("/api/props", Route(state, false, bind(ListProperties)));
    server.Get("/api/measure", Route(state, false, bind(MeasureKey)));
    server.Get("/api/export", Route(state, false, bind(ExportKey)));
    server.Get("/api/dump", Route(state, false, bind(DumpKey)));
    server.Post("/api/set", Route(state, true, bind(SetProperty)));
    server.Post("/api/unset", Route(state, true, bind(UnsetProperty)));
    server.Post("/api/mkkey", Route(state, true, bind(MakeKey)));
    server.Post("/api/rmkey", Route(state, true, bind(RemoveKey)));
    server.Post("/api/mvkey", Route(state, true, bind(RenameKey)));
    server.Post("/api/import", Route(state, true, bind(ImportFile)));
}

}  // namespace brindle::tool

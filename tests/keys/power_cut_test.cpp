// Power cuts at every kind of instant of a database's life: its creation, its calls, the
// adding of a data file, its checkpoints and its close. A workload runs once per durability
// level on a file system that logs every write, sync and directory change; then, for many
// points of that log, the files a power cut there could leave are written out (whatever the
// last syncs made durable, plus some, none or torn parts of what came after) and judged:
// the database opens, its structure is sound, it holds exactly the changes of the first p
// calls for some p, and p covers what the level promises.
//
// Settings, all from the environment:
//   BRINDLE_POWER_CUTS        cuts per level (default 300; 1000 for the full run)
//   BRINDLE_POWER_CUT_SEED    seed of where to cut and what each cut keeps (default 1); a
//                             failure is reported with it and its cut number
//   BRINDLE_POWER_CUT_ONLY    judge only the cut of that number (with --gtest_filter)
//   BRINDLE_POWER_CUT_KEEP    a folder that receives the files of every failed cut
//   BRINDLE_POWER_CUT_DURABLE_ENTRIES=1  treat file creations, removals and renames as
//                             durable at once, to see what fails besides directory syncs
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "brindle_codes.h"
#include "keys/common_tree.h"
#include "keys/config_record.h"
#include "keys/key_operations.h"
#include "keys/open_key.h"
#include "md_exception.h"
#include "support/power_cut_file_system.h"
#include "support/temp_dir.h"
#include "tree/property_record.h"
#include "tree/tree_verifier.h"
#include "vell/endian.h"
#include "vell/mem_cache.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testsupport::DiskModel;
using testsupport::FileOp;
using testsupport::PowerCutFileSystem;
using testsupport::SyncClass;

// The whole content of a database: key path (main key first, levels joined by '\') ->
// property name -> the property's stored record.
using Content = std::map<std::string, std::map<std::string, std::string>>;

// Sets an environment variable for the life of the object and puts back what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

uint64_t EnvironmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// --- the workload -------------------------------------------------------------------------

struct Call {
    enum Kind {
        kMainKey,
        kAddKey,
        kAddProperty,
        kEditProperty,
        kDeleteProperty,
        kDeleteKey,
        kRenameKey
    };
    Kind kind;
    std::string path;    // the key the call works on (for kMainKey: none)
    std::string name;    // the new key, property or main key, or the new name
    std::string record;  // the property record of an add or an edit
};

std::string EncodeRecord(const std::string& name, const vell::VariableData& value) {
    NamedValue property(name, value);
    uint32_t size = 0;
    EXPECT_TRUE(EncodeProperty(property, nullptr, size));
    std::string record(size, '\0');
    EXPECT_TRUE(EncodeProperty(property, reinterpret_cast<uint8_t*>(record.data()), size));
    record.resize(size);
    return record;
}

std::string RandomText(std::mt19937_64& rng, size_t length) {
    std::string text(length, ' ');
    for (char& c : text) {
        c = static_cast<char>('!' + rng() % 90);
    }
    return text;
}

// A value of any of the ten types; a few are long enough to run over several pages, so that
// the database grows past its first data file.
vell::VariableData RandomValue(std::mt19937_64& rng) {
    vell::VariableData value;
    switch (rng() % 11) {
        case 0:
            value.SetString(RandomText(rng, 1 + rng() % 60).c_str());
            break;
        case 1:
            value.SetString(RandomText(rng, 600 + rng() % 2400).c_str());
            break;
        case 2:
            value.SetShort(static_cast<short>(rng()));
            break;
        case 3:
            value.SetInt(static_cast<int>(rng()));
            break;
        case 4:
            value.SetInt64(static_cast<int64_t>(rng()));
            break;
        case 5:
            value.SetByte(static_cast<unsigned char>(rng()));
            break;
        case 6:
            value.SetDouble(static_cast<double>(rng() % 100000) / 7.0);
            break;
        case 7:
            value.SetFloat(static_cast<float>(rng() % 1000) / 3.0f);
            break;
        case 8: {
            std::string bytes = RandomText(rng, 1 + rng() % 3000);
            value.SetBinary(bytes.data(), static_cast<int>(bytes.size()), true);
            break;
        }
        case 9:
            value.SetDateTime(vell::DateTime(static_cast<int64_t>(rng() % 2000000000)));
            break;
        default:
            break;  // empty
    }
    return value;
}

template <typename Map>
auto Pick(const Map& map, std::mt19937_64& rng) {
    auto it = map.begin();
    std::advance(it, static_cast<long>(rng() % map.size()));
    return it;
}

size_t Depth(const std::string& path) {
    return static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

// Call `number` (from 1), chosen from the model so that it must succeed. Fresh names carry
// the call's number, so they never meet a sibling's.
Call NextCall(const Content& model, uint64_t number, std::mt19937_64& rng) {
    const std::string tag = std::to_string(number);
    if (number <= 2) {
        return {Call::kMainKey, "", number == 1 ? "K" : "M", ""};
    }
    std::vector<std::string> sub_keys;
    std::vector<std::string> with_properties;
    for (const auto& [path, properties] : model) {
        if (Depth(path) > 0) {
            sub_keys.push_back(path);
        }
        if (!properties.empty()) {
            with_properties.push_back(path);
        }
    }
    const unsigned roll = rng() % 100;
    if (roll < 15) {
        std::string parent = Pick(model, rng)->first;
        if (Depth(parent) < 3) {
            return {Call::kAddKey, parent, "k" + tag, ""};
        }
    } else if (roll < 43 && !with_properties.empty()) {
        const std::string& path = with_properties[rng() % with_properties.size()];
        const std::string name = Pick(model.at(path), rng)->first;
        return {Call::kEditProperty, path, name, EncodeRecord(name, RandomValue(rng))};
    } else if (roll < 53 && !with_properties.empty()) {
        const std::string& path = with_properties[rng() % with_properties.size()];
        return {Call::kDeleteProperty, path, Pick(model.at(path), rng)->first, ""};
    } else if (roll < 58 && !sub_keys.empty()) {
        return {Call::kDeleteKey, sub_keys[rng() % sub_keys.size()], "", ""};
    } else if (roll < 64 && !sub_keys.empty()) {
        return {Call::kRenameKey, sub_keys[rng() % sub_keys.size()], "r" + tag, ""};
    }
    const std::string path = Pick(model, rng)->first;
    const std::string name = "p" + tag;
    return {Call::kAddProperty, path, name, EncodeRecord(name, RandomValue(rng))};
}

void Apply(Content& model, const Call& call) {
    switch (call.kind) {
        case Call::kMainKey:
            model[call.name];
            break;
        case Call::kAddKey:
            model[call.path + "\\" + call.name];
            break;
        case Call::kAddProperty:
        case Call::kEditProperty:
            model[call.path][call.name] = call.record;
            break;
        case Call::kDeleteProperty:
            model[call.path].erase(call.name);
            break;
        case Call::kDeleteKey:
        case Call::kRenameKey: {
            const std::string below = call.path + "\\";
            const std::string renamed = call.path.substr(0, call.path.rfind('\\') + 1) + call.name;
            Content changed;
            for (auto& [path, properties] : model) {
                const bool inside = path == call.path || path.rfind(below, 0) == 0;
                if (!inside) {
                    changed[path] = std::move(properties);
                } else if (call.kind == Call::kRenameKey) {
                    changed[renamed + path.substr(call.path.size())] = std::move(properties);
                }
            }
            model = std::move(changed);
            break;
        }
    }
}

Status Perform(CommonTree& tree, const Call& call) {
    MainKeyInfo* record = nullptr;
    uint64_t node = 0;
    if (call.kind == Call::kMainKey) {
        return OpenKey(tree, call.name, "", record, node, MODE_CREATE);
    }
    const size_t split = call.path.find('\\');
    const std::string main_key = call.path.substr(0, split);
    const std::string below = split == std::string::npos ? "" : call.path.substr(split + 1);
    Status result = OpenKey(tree, main_key, below, record, node, MODE_OPEN);
    if (result != Status::kOk) {
        return result;
    }
    KeyOperations operations(tree, record, node);
    const auto* bytes = reinterpret_cast<const uint8_t*>(call.record.data());
    const auto length = static_cast<uint32_t>(call.record.size());
    switch (call.kind) {
        case Call::kAddKey: {
            std::string name = call.name;
            return operations.AppendSubKey(name);
        }
        case Call::kAddProperty:
            return operations.AppendProperty(call.name, bytes, length);
        case Call::kEditProperty:
            return operations.EditProperty(call.name, bytes, length);
        case Call::kDeleteProperty:
            return operations.DeleteProperty(call.name);
        case Call::kDeleteKey:
            return operations.DeleteKey();
        case Call::kRenameKey:
            return operations.RenameKey(call.name);
        default:
            return Status::kFailed;
    }
}

std::string Canonical(const Content& content) {
    std::string text;
    for (const auto& [path, properties] : content) {
        text += path + '\n';
        for (const auto& [name, record] : properties) {
            text += std::to_string(record.size()) + ':' + record;
        }
        text += '\n';
    }
    return text;
}

uint64_t Fingerprint(const Content& content) {
    return std::hash<std::string>()(Canonical(content));
}

// Reads the key at `path` and everything below it; throws on what cannot be read.
void ReadKey(CommonTree& tree, MainKeyInfo* record, uint64_t node, const std::string& path,
             Content& content) {
    if (content.count(path) != 0) {
        throw std::runtime_error("two keys named " + path);
    }
    auto& properties = content[path];
    vell::MemCache block(512);
    uint32_t length = 0;
    if (KeyOperations(tree, record, node).GetNodeProperties(block, length) != Status::kOk) {
        throw std::runtime_error("the properties of " + path + " cannot be listed");
    }
    const uint8_t* data = block.Data();
    const uint32_t count = vell::LoadU32(data + kPropertyRecordOffset + 4);
    uint32_t at = kPropertyRecordOffset + 8;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t size = at + 4 <= length ? vell::LoadU32(data + at) : 0;
        NamedValue property;
        if (size == 0 || length - at - 4 < size || !DecodeProperty(data + at + 4, size, property)) {
            throw std::runtime_error("a property record of " + path + " does not decode");
        }
        if (!properties
                 .emplace(property.first,
                          std::string(reinterpret_cast<const char*>(data + at + 4), size))
                 .second) {
            throw std::runtime_error("two properties " + property.first + " in " + path);
        }
        at += 4 + size;
    }
    std::vector<std::pair<uint64_t, std::string>> children;
    if (!tree.Tree()->GetSubNodes(node, children)) {
        throw std::runtime_error("the sub keys of " + path + " cannot be listed");
    }
    for (const auto& [child, name] : children) {
        ReadKey(tree, record, child, path + "\\" + name, content);
    }
}

Content ReadContent(CommonTree& tree) {
    Content content;
    std::vector<std::pair<uint64_t, std::string>> main_keys;
    if (!tree.Tree()->GetSubNodes(tree.Root(), main_keys)) {
        throw std::runtime_error("the main keys cannot be listed");
    }
    for (const auto& [node, name] : main_keys) {
        MainKeyInfo* record = tree.FindMainKey(name);
        if (record == nullptr) {
            throw std::runtime_error("main key " + name + " is not in the table");
        }
        ReadKey(tree, record, node, name, content);
    }
    return content;
}

// The first difference between two contents, for a report.
std::string FirstDifference(const Content& found, const Content& expected) {
    for (const auto& [path, properties] : expected) {
        auto there = found.find(path);
        if (there == found.end()) {
            return "key " + path + " is missing";
        }
        for (const auto& [name, record] : properties) {
            auto property = there->second.find(name);
            if (property == there->second.end()) {
                return "property " + path + "/" + name + " is missing";
            }
            if (property->second != record) {
                return "property " + path + "/" + name + " differs";
            }
        }
        for (const auto& [name, record] : there->second) {
            if (properties.count(name) == 0) {
                return "property " + path + "/" + name + " is there too";
            }
        }
    }
    for (const auto& [path, properties] : found) {
        if (expected.count(path) == 0) {
            return "key " + path + " is there too";
        }
    }
    return "none";
}

// Settings that make a small workload grow past the first data file and checkpoint often.
ConfigRecord SmallDatabase(const std::string& data_path) {
    ConfigRecord config;
    config.dataPath = data_path;
    config.pool.data_buffer_initial = config.pool.page_buffer_initial = 16;
    config.pool.max_file_size = 16 * 1024;
    config.pool.add_page_count = 16;
    config.pool.checkpoint_bytes = 48 * 1024;
    return config;
}

// One run of the workload, with its log.
struct Run {
    std::string root;  // the folder of the database
    std::vector<FileOp> log;
    std::vector<Call> calls;             // calls[i - 1] is call i
    std::vector<uint64_t> fingerprints;  // [p]: the content after the first p calls
    uint64_t close_call = 0;             // the number of the close (after the last call)

    Content ContentAfter(uint64_t calls_done) const {
        Content content;
        for (uint64_t i = 0; i < calls_done && i < calls.size(); ++i) {
            Apply(content, calls[i]);
        }
        return content;
    }
};

constexpr uint64_t kWorkloadCalls = 320;

// Call 0 creates the database, calls 1..kWorkloadCalls change it, the next one closes it.
void RunWorkload(const std::string& level, std::optional<SyncClass> ignored,
                 const std::string& folder, Run& run) {
    ScopedEnvironment durability("BRINDLE_DURABILITY", level.c_str());
    ScopedEnvironment checkpoint("BRINDLE_CHECKPOINT_BYTES", nullptr);
    vell::OutputCapture quiet;
    std::filesystem::create_directories(folder);
    run.root = PowerCutFileSystem::Normal(folder);
    ConfigRecord config = SmallDatabase(run.root + "/db");
    PowerCutFileSystem file_system;
    if (ignored) {
        file_system.IgnoreSyncs(*ignored);
    }
    std::mt19937_64 rng(7);  // the same calls at every level
    Content model;
    run.fingerprints.push_back(Fingerprint(model));
    {
        file_system.MarkCallStarted(0);
        auto tree = std::make_unique<CommonTree>();
        ASSERT_TRUE(tree->Open(&config));
        file_system.MarkCallReturned(0);
        for (uint64_t number = 1; number <= kWorkloadCalls; ++number) {
            Call call = NextCall(model, number, rng);
            file_system.MarkCallStarted(number);
            ASSERT_EQ(Perform(*tree, call), Status::kOk)
                << "call " << number << " on " << call.path;
            file_system.MarkCallReturned(number);
            Apply(model, call);
            run.fingerprints.push_back(Fingerprint(model));
            run.calls.push_back(std::move(call));
        }
        run.close_call = kWorkloadCalls + 1;
        file_system.MarkCallStarted(run.close_call);
        tree.reset();
        file_system.MarkCallReturned(run.close_call);
    }
    run.log = file_system.TakeLog();
}

// --- where to cut --------------------------------------------------------------------------

bool JournalOp(const FileOp& op, const std::map<uint64_t, std::string>& names) {
    auto name = names.find(op.file);
    return name != names.end() && testsupport::ClassOfFile(name->second) == SyncClass::kJournal;
}

// Cut points (a cut at k: the first k operations of the log happened): every point of the
// creation, the points around each file creation, removal, rename, journal sync and journal
// truncation (a checkpoint's edges), and the rest spread over the whole log. Sorted.
std::vector<size_t> ChooseCuts(const std::vector<FileOp>& log, size_t count, std::mt19937_64& rng) {
    const size_t points = log.size() + 1;
    std::vector<size_t> notable;
    size_t creation_end = 0;
    std::map<uint64_t, std::string> names;
    for (size_t i = 0; i < log.size(); ++i) {
        const FileOp& op = log[i];
        if (op.kind == FileOp::kCreate || op.kind == FileOp::kFound) {
            names[op.file] = op.path;
        } else if (op.kind == FileOp::kRename) {
            names[op.file] = op.to;
        }
        if (op.kind == FileOp::kCallReturned && op.offset == 0) {
            creation_end = i + 1;
        }
        const bool edge =
            op.kind == FileOp::kCreate || op.kind == FileOp::kUnlink ||
            op.kind == FileOp::kRename || op.kind == FileOp::kSyncDirectory ||
            ((op.kind == FileOp::kSync || op.kind == FileOp::kTruncate) && JournalOp(op, names));
        if (edge) {
            notable.push_back(i);
            notable.push_back(i + 1);
        }
    }
    std::vector<size_t> cuts;
    for (size_t k = 0; k <= creation_end && cuts.size() < count / 4; ++k) {
        cuts.push_back(k);
    }
    // At most half of the cuts at the edges, evenly taken from them.
    const size_t edges = std::min(notable.size(), count / 2);
    for (size_t j = 0; j < edges; ++j) {
        cuts.push_back(notable[j * notable.size() / edges]);
    }
    const size_t rest = count > cuts.size() ? count - cuts.size() : 0;
    for (size_t j = 0; j < rest; ++j) {
        const size_t low = j * points / rest;
        const size_t high = (j + 1) * points / rest;
        cuts.push_back(low + rng() % std::max<size_t>(1, high - low));
    }
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

// --- what a cut is promised -------------------------------------------------------------

// Follows the log and tells, at each point, the calls started and returned so far and the
// calls a completed checkpoint covers. A checkpoint is complete when the journal was synced
// and then every data file there is was synced: the calls that had returned before that
// journal sync are in the data files.
class Promises {
public:
    void Apply(const FileOp& op) {
        switch (op.kind) {
            case FileOp::kCallStarted:
                started_ = op.offset;
                break;
            case FileOp::kCallReturned:
                returned_ = op.offset;
                any_returned_ = true;
                break;
            case FileOp::kFound:
            case FileOp::kCreate:
                names_[op.path] = op.file;
                break;
            case FileOp::kUnlink:
                names_.erase(op.path);
                break;
            case FileOp::kRename:
                names_.erase(op.path);
                names_[op.to] = op.file;
                break;
            case FileOp::kSync:
                if (op.sync_class == SyncClass::kJournal) {
                    checkpoint_ = returned_;
                    synced_.clear();
                    pending_checkpoint_ = any_returned_;
                } else if (op.sync_class == SyncClass::kData && pending_checkpoint_) {
                    synced_.insert(op.file);
                    if (AllDataFilesSynced()) {
                        checkpointed_ = std::max(checkpointed_, checkpoint_);
                        pending_checkpoint_ = false;
                    }
                }
                break;
            default:
                break;
        }
    }

    uint64_t Started() const { return started_; }
    uint64_t Returned() const { return any_returned_ ? returned_ : 0; }
    bool AnyReturned() const { return any_returned_; }
    uint64_t Checkpointed() const { return checkpointed_; }

private:
    bool AllDataFilesSynced() const {
        for (const auto& [path, file] : names_) {
            if (testsupport::ClassOfFile(path) == SyncClass::kData && synced_.count(file) == 0) {
                return false;
            }
        }
        return true;
    }

    uint64_t started_ = 0;
    uint64_t returned_ = 0;
    bool any_returned_ = false;
    uint64_t checkpoint_ = 0;
    bool pending_checkpoint_ = false;
    uint64_t checkpointed_ = 0;
    std::map<std::string, uint64_t> names_;
    std::set<uint64_t> synced_;
};

// --- judging a cut -------------------------------------------------------------------------

enum Category { kSound, kDoesNotOpen, kCheckFinds, kNoPrefix, kShortPrefix, kCategories };

const char* CategoryName(int category) {
    static const char* const names[] = {"sound", "does not open", "check finds faults",
                                        "content is no prefix", "prefix shorter than promised"};
    return names[category];
}

struct Verdict {
    Category category = kSound;
    std::string detail;
};

// What the exception being handled says.
std::string Thrown() {
    try {
        throw;
    } catch (const MDException& error) {
        return std::string(error.GetTypeName()) + ": " + error.GetMessage();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "an unknown exception";
    }
}

// Opens the database at `data_path` the way a host does (replaying its journal, or creating
// it when there is none), checks its structure and finds the prefix of calls it holds.
Verdict Judge(const std::string& data_path, const Run& run, bool created, uint64_t started,
              uint64_t promised) {
    vell::OutputCapture quiet;
    ConfigRecord config = SmallDatabase(data_path);
    CommonTree tree;
    try {
        if (!tree.Open(&config)) {
            std::string lines = quiet.Text();
            std::replace(lines.begin(), lines.end(), '\n', '|');
            return {kDoesNotOpen, "open failed: " + lines};
        }
    } catch (...) {
        return {kDoesNotOpen, "open threw " + Thrown()};
    }
    VerifyReport report;
    try {
        report = TreeVerifier::Verify(*tree.Pool());
    } catch (...) {
        return {kCheckFinds, "the check threw " + Thrown()};
    }
    // A database whose creation never returned may be left empty in any way, leaked pages
    // included; it only has to open.
    if (!report.Sound() || (!report.leaks.empty() && created)) {
        std::string text;
        for (size_t i = 0; i < report.problems.size() && i < 4; ++i) {
            text += (i == 0 ? "" : "; ") + report.problems[i];
        }
        if (report.problems.size() > 4) {
            text += "; " + std::to_string(report.problems.size() - 4) + " more problems";
        }
        if (!report.leaks.empty()) {
            text += (text.empty() ? "" : "; ") + std::to_string(report.leaks.size()) +
                    " leaked pages (" + report.leaks.front() + ")";
        }
        return {kCheckFinds, text};
    }
    Content found;
    try {
        found = ReadContent(tree);
    } catch (...) {
        return {kNoPrefix, "the content cannot be read: " + Thrown()};
    }
    const uint64_t fingerprint = Fingerprint(found);
    const uint64_t last = std::min<uint64_t>(started, run.fingerprints.size() - 1);
    promised = std::min(promised, last);  // the close changes no content
    for (uint64_t p = last + 1; p-- > 0;) {
        if (run.fingerprints[p] != fingerprint) {
            continue;
        }
        if (p < promised) {
            return {kShortPrefix, "holds the first " + std::to_string(p) + " calls, " +
                                      std::to_string(promised) + " promised"};
        }
        return {kSound, ""};
    }
    return {kNoPrefix, "no prefix of the calls up to " + std::to_string(last) +
                           "; against the first " + std::to_string(last) + ": " +
                           FirstDifference(found, run.ContentAfter(last)) + "; against the first " +
                           std::to_string(promised) + ": " +
                           FirstDifference(found, run.ContentAfter(promised))};
}

std::string DescribeOp(const FileOp& op, const std::map<uint64_t, std::string>& names) {
    auto name = [&](uint64_t file) {
        auto found = names.find(file);
        return found == names.end() ? std::string("?")
                                    : std::filesystem::path(found->second).filename().string();
    };
    const std::string file = name(op.file);
    const std::string ignored = op.honoured ? "" : " (ignored)";
    switch (op.kind) {
        case FileOp::kFound:
            return "found " + file;
        case FileOp::kCreate:
            return "create " + file;
        case FileOp::kWrite:
            return "write " + file + " @" + std::to_string(op.offset) + " +" +
                   std::to_string(op.bytes.size());
        case FileOp::kTruncate:
            return "truncate " + file + " to " + std::to_string(op.offset);
        case FileOp::kExtend:
            return "extend " + file + " to " + std::to_string(op.offset);
        case FileOp::kSync:
            return "sync " + file + ignored;
        case FileOp::kUnlink:
            return "unlink " + file;
        case FileOp::kRename:
            return "rename " + file + " to " + std::filesystem::path(op.to).filename().string();
        case FileOp::kSyncDirectory:
            return "sync directory" + ignored;
        case FileOp::kCallStarted:
            return "call " + std::to_string(op.offset) + " starts";
        case FileOp::kCallReturned:
            return "call " + std::to_string(op.offset) + " returns";
    }
    return "?";
}

struct LevelResult {
    std::string workload;  // what the run's log holds
    size_t cuts = 0;
    std::array<size_t, kCategories> counts{};
    size_t before_creation = 0;  // failures of cuts before the creation returned
    size_t in_close = 0;         // failures of cuts during the close
    std::array<std::vector<std::string>, kCategories> examples;

    size_t Failures() const { return cuts - counts[kSound]; }
    std::string Summary(const std::string& title) const {
        std::string text = title + ": " + std::to_string(cuts) + " cuts, " +
                           std::to_string(Failures()) + " failed";
        for (int category = kDoesNotOpen; category < kCategories; ++category) {
            text +=
                std::string(", ") + CategoryName(category) + " " + std::to_string(counts[category]);
        }
        if (Failures() > 0) {
            text += " (" + std::to_string(before_creation) + " before the creation returned, " +
                    std::to_string(in_close) + " during the close)";
        }
        return text;
    }
};

// A line on what the workload did to its files.
std::string DescribeWorkload(const Run& run) {
    size_t data_files = 0;
    size_t journal_syncs = 0;
    size_t data_syncs = 0;
    size_t directory_syncs = 0;
    uint64_t bytes = 0;
    Promises promises;
    size_t checkpoints = 0;
    uint64_t checkpointed = 0;
    for (const FileOp& op : run.log) {
        promises.Apply(op);
        if (promises.Checkpointed() != checkpointed) {
            checkpointed = promises.Checkpointed();
            ++checkpoints;
        }
        bytes += op.kind == FileOp::kWrite ? op.bytes.size() : 0;
        if (op.kind == FileOp::kCreate && testsupport::ClassOfFile(op.path) == SyncClass::kData) {
            ++data_files;
        }
        if (op.kind == FileOp::kSync) {
            ++(op.sync_class == SyncClass::kJournal ? journal_syncs : data_syncs);
        }
        directory_syncs += op.kind == FileOp::kSyncDirectory ? 1 : 0;
    }
    return std::to_string(run.log.size()) + " operations, " + std::to_string(run.calls.size()) +
           " calls, " + std::to_string(bytes) + " bytes written, " + std::to_string(data_files) +
           " data files created, syncs: " + std::to_string(journal_syncs) + " journal, " +
           std::to_string(data_syncs) + " data file, " + std::to_string(directory_syncs) +
           " directory; " + std::to_string(checkpoints) + " checkpoints completed";
}

enum class Promise { kNone, kCheckpointed, kReturned };

// Runs the workload at `level` and judges `count` cuts of its log. `label` names the run's
// kept files.
LevelResult CutEverywhere(const std::string& label, const std::string& level, Promise promise,
                          std::optional<SyncClass> ignored, size_t count) {
    LevelResult result;
    testsupport::TempDir dir;
    Run run;
    RunWorkload(level, ignored, dir.File("run"), run);
    if (::testing::Test::HasFatalFailure()) {
        return result;
    }
    result.workload = DescribeWorkload(run);
    const uint64_t seed = EnvironmentNumber("BRINDLE_POWER_CUT_SEED", 1);
    const uint64_t only = EnvironmentNumber("BRINDLE_POWER_CUT_ONLY", ~uint64_t{0});
    const char* keep = std::getenv("BRINDLE_POWER_CUT_KEEP");
    std::mt19937_64 chooser(seed);
    const std::vector<size_t> cuts = ChooseCuts(run.log, count, chooser);

    DiskModel disk(run.log);
    disk.EntriesDurableAtOnce(EnvironmentNumber("BRINDLE_POWER_CUT_DURABLE_ENTRIES", 0) != 0);
    Promises promises;
    std::map<uint64_t, std::string> names;
    size_t applied = 0;
    for (size_t number = 0; number < cuts.size(); ++number) {
        const size_t point = cuts[number];
        for (; applied < point; ++applied) {
            const FileOp& op = run.log[applied];
            disk.Apply(applied);
            promises.Apply(op);
            if (op.kind == FileOp::kCreate || op.kind == FileOp::kFound) {
                names[op.file] = op.path;
            } else if (op.kind == FileOp::kRename) {
                names[op.file] = op.to;
            }
        }
        if (only != ~uint64_t{0} && number != only) {
            continue;
        }
        const uint64_t promised = promise == Promise::kReturned       ? promises.Returned()
                                  : promise == Promise::kCheckpointed ? promises.Checkpointed()
                                                                      : 0;
        const auto materialise = [&](const std::filesystem::path& target) {
            std::mt19937_64 rng(seed * 1000003u + number);
            std::filesystem::create_directories(target);
            return disk.Materialise(run.root, target, rng);
        };
        const std::filesystem::path target = dir.path() / ("cut" + std::to_string(number));
        const std::string chosen = materialise(target);
        const Verdict verdict = Judge((target / "db").string(), run, promises.AnyReturned(),
                                      promises.Started(), promised);
        std::filesystem::remove_all(target);
        ++result.cuts;
        ++result.counts[verdict.category];
        if (verdict.category == kSound) {
            continue;
        }
        result.before_creation += promises.AnyReturned() ? 0 : 1;
        result.in_close += promises.Started() == run.close_call ? 1 : 0;
        if (keep != nullptr) {
            materialise(std::filesystem::path(keep) / (label + "-cut" + std::to_string(number)));
        }
        std::string example =
            std::string("  [") + CategoryName(verdict.category) + "] seed " + std::to_string(seed) +
            ", cut " + std::to_string(number) + " at log point " + std::to_string(point) + " of " +
            std::to_string(run.log.size()) + ": call " + std::to_string(promises.Started()) +
            " started, " +
            (promises.AnyReturned() ? "call " + std::to_string(promises.Returned()) + " returned"
                                    : std::string("none returned")) +
            ", " + std::to_string(promised) + " promised\n    " + verdict.detail +
            "\n    last operations:";
        for (size_t i = point > 6 ? point - 6 : 0; i < point; ++i) {
            example += " " + DescribeOp(run.log[i], names) + ";";
        }
        example += "\n    the cut left:\n" + chosen;
        result.examples[verdict.category].push_back(example);
    }
    return result;
}

size_t CutsPerLevel() {
    return static_cast<size_t>(EnvironmentNumber("BRINDLE_POWER_CUTS", 300));
}

// The summary, then of each kind of failure the first, a middle and the last example.
void Report(const std::string& title, const LevelResult& result) {
    std::printf("%s\n  workload: %s\n", result.Summary(title).c_str(), result.workload.c_str());
    for (const auto& examples : result.examples) {
        std::set<size_t> chosen;
        if (!examples.empty()) {
            chosen = {0, examples.size() / 2, examples.size() - 1};
        }
        for (size_t index : chosen) {
            std::printf("%s", examples[index].c_str());
        }
    }
    std::fflush(stdout);
}

TEST(PowerCutTest, FullKeepsEveryReturnedCall) {
    const LevelResult result =
        CutEverywhere("full", "full", Promise::kReturned, {}, CutsPerLevel());
    Report("power cuts at level full", result);
    EXPECT_EQ(result.Failures(), 0u) << result.Summary("level full");
}

TEST(PowerCutTest, NormalKeepsEveryCheckpointedCall) {
    const LevelResult result =
        CutEverywhere("normal", "normal", Promise::kCheckpointed, {}, CutsPerLevel());
    Report("power cuts at level normal", result);
    EXPECT_EQ(result.Failures(), 0u) << result.Summary("level normal");
}

// Off promises nothing against a power cut; what the cuts leave is shown, not judged.
TEST(PowerCutTest, OffIsReportedOnly) {
    const LevelResult result = CutEverywhere("off", "off", Promise::kNone, {}, CutsPerLevel() / 2);
    Report("power cuts at level off (not judged)", result);
}

// The cuts find a sync that is missing: with one class of syncs ignored, a database at level
// full must fail somewhere.
TEST(PowerCutTest, AMissingSyncIsCaught) {
    struct Ignored {
        SyncClass syncs;
        const char* what;
        const char* label;
    };
    const Ignored classes[] = {
        {SyncClass::kData, "data file syncs", "no-data-sync"},
        {SyncClass::kDirectory, "directory syncs", "no-directory-sync"},
        {SyncClass::kJournal, "journal syncs", "no-journal-sync"},
    };
    for (const auto& [ignored, what, label] : classes) {
        const LevelResult result =
            CutEverywhere(label, "full", Promise::kReturned, ignored, CutsPerLevel() / 2);
        Report(std::string("power cuts at level full, ") + what + " ignored", result);
        EXPECT_GT(result.Failures(), 0u) << what << " ignored went unnoticed";
    }
}

}  // namespace
}  // namespace brindle

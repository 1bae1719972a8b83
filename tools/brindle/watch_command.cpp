// brindle watch: one line per committed change, made by any process, until interrupted.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/json_property.h"
#include "brindle/key_operations.h"
#include "brindle/tool_error.h"
#include "brindle/wording.h"
#include "brindle_watch.h"

namespace brindle::tool {
namespace {

struct WatchOptions {
    std::string key;
    bool json = false;
};

std::string ChangeLine(const Change& change, bool json) {
    if (json) {
        return Json{{"seq", change.sequence},
                    {"main", TextToJson(change.main_key)},
                    {"path", TextToJson(change.path)},
                    {"kind", ChangeKindName(change.kind)},
                    {"name", TextToJson(change.name)}}
                   .dump() +
               '\n';
    }
    std::string line = std::to_string(change.sequence) + "  " + ChangeKindName(change.kind) + "  " +
                       DisplayText(AddressOf(change).ToString(), 0);
    if (change.kind == ChangeKind::kKeyRenamed) {
        line += " -> " + DisplayText(change.name, 0);
    } else if (!change.name.empty()) {
        line += "  " + DisplayText(change.name, 0);
    }
    return line + '\n';
}

void WatchChanges(ToolContext& context, const WatchOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    const sigset_t signals = BlockEndingSignals();
    Database database(context.ReadAccess());
    std::string path;
    if (!address.IsDatabase()) {
        database.Open(address);  // a key that does not exist is said so, not watched forever
        for (std::size_t i = 1; i < address.Names().size(); ++i) {
            path += (i > 1 ? "\\" : "") + address.Names()[i];
        }
    }
    std::mutex output;
    std::ostream& out = *context.out;
    const bool json = options.json;
    void* file = database.FileHandle();
    const WatchToken token = Watch(file, address.IsDatabase() ? "" : address.MainKey(), path, true,
                                   [&output, &out, json](const Change& change) {
                                       const std::lock_guard<std::mutex> lock(output);
                                       out << ChangeLine(change, json) << std::flush;
                                       if (!out) {
                                           // The reader went away (or the disk is full): the watch
                                           // ends, and the exit status reports the failed write.
                                           ::kill(::getpid(), SIGTERM);
                                       }
                                   });
    if (token == 0) {
        throw ToolError("cannot watch database '" + database.Path() + "'");
    }
    int signal = 0;
    sigwait(&signals, &signal);
    Unwatch(token);
}

}  // namespace

sigset_t BlockEndingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

void AddWatchCommand(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<WatchOptions>();
    CLI::App* watch = app.add_subcommand(
        "watch", "Print each change of the database, by any process, until interrupted");
    watch->add_option("key", options->key, "Watch only this key and its subtree");
    watch->add_flag("--json", options->json,
                    "One JSON object per change: seq, main, path, kind, name");
    watch->callback([options, &context] { WatchChanges(context, *options); });
}

}  // namespace brindle::tool

// brindle sync: mirrors main keys of the database through an etcd cluster, both ways, until
// interrupted (or once, with --once).

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/sync_engine.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

struct SyncCommandOptions {
    std::string etcd;
    std::string prefix;
    std::vector<std::string> main_keys;
    bool once = false;
    bool json = false;
    bool from_local = false;
};

std::vector<std::string> SplitEndpoints(const std::string& list) {
    std::vector<std::string> endpoints;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            comma = list.size();
        }
        std::string endpoint = list.substr(start, comma - start);
        if (endpoint.rfind("http://", 0) != 0 && endpoint.rfind("https://", 0) != 0) {
            throw UsageError("--etcd takes http://HOST:PORT URLs separated by commas, got '" +
                             endpoint + "'");
        }
        while (endpoint.size() > 8 && endpoint.back() == '/') {
            endpoint.pop_back();
        }
        endpoints.push_back(endpoint);
        start = comma + 1;
    }
    return endpoints;
}

// Status lines: one JSON object per line, or a line for a reader, each written whole.
sync::StatusSink StatusLines(std::ostream& out, bool json) {
    auto mutex = std::make_shared<std::mutex>();
    return
        [&out, json, mutex](const std::string& event, const Json& fields, const std::string& text) {
            const std::lock_guard<std::mutex> lock(*mutex);
            if (json) {
                Json line{{"event", event}};
                line.update(fields);
                out << line.dump() << '\n' << std::flush;
            } else {
                out << "sync: " << text << '\n' << std::flush;
            }
        };
}

// Two syncs of one database would both apply etcd's changes and both keep the state below
// the hidden main key; the second is refused. The lock is a file beside the data files, held
// by the process, so a killed sync leaves nothing to clear.
class SyncLock {
public:
    explicit SyncLock(const std::string& base) {
        const std::string path = base + ".sync-lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            throw ToolError("cannot create '" + path + "': " + std::strerror(errno));
        }
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd_);
            throw ToolError("another brindle sync runs on database '" + base + "'");
        }
    }
    ~SyncLock() { ::close(fd_); }
    SyncLock(const SyncLock&) = delete;
    SyncLock& operator=(const SyncLock&) = delete;

private:
    int fd_ = -1;
};

void ReportStop(const sync::StatusSink& status, const sync::SyncCounts& counts) {
    status("stopped",
           Json{{"pushed", counts.pushed},
                {"applied", counts.applied},
                {"conflicts", counts.conflicts}},
           "stopped: " + std::to_string(counts.pushed) + " push(es), " +
               std::to_string(counts.applied) + " revision(s) applied, " +
               std::to_string(counts.conflicts) + " conflict(s)");
}

void RunSync(ToolContext& context, const SyncCommandOptions& command) {
    sync::SyncOptions options;
    options.endpoints = SplitEndpoints(command.etcd);
    options.prefix = command.prefix;
    options.main_keys = command.main_keys;
    options.from_local = command.from_local;
    for (const std::string& main_key : options.main_keys) {
        if (main_key.empty() || main_key.size() > 255 || main_key == sync::kStateMainKey ||
            main_key.find('\\') != std::string::npos) {
            throw UsageError("cannot sync main key '" + main_key + "'");
        }
    }
    const sigset_t signals = BlockEndingSignals();
    Database database(context.Access(true));
    const SyncLock lock(database.Path());
    const sync::StatusSink status = StatusLines(*context.out, command.json);
    sync::SyncEngine engine(database, options, status);
    if (command.once) {
        try {
            engine.RunOnce();
        } catch (const sync::EtcdError& error) {
            throw ToolError(std::string("etcd: ") + error.what());
        }
        ReportStop(status, engine.Counts());
        return;
    }
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            engine.Run();
        } catch (...) {
            failure = std::current_exception();
            ::kill(::getpid(), SIGTERM);  // ends the wait below
        }
    });
    int signal = 0;
    sigwait(&signals, &signal);
    engine.Stop();
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
    ReportStop(status, engine.Counts());
}

}  // namespace

void AddSyncCommand(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<SyncCommandOptions>();
    CLI::App* sync = app.add_subcommand(
        "sync", "Keep main keys equal with an etcd cluster, both ways, until interrupted");
    sync->add_option("--etcd", options->etcd,
                     "etcd endpoints: http://HOST:PORT[,http://...] (https:// too)")
        ->required();
    sync->add_option("--prefix", options->prefix, "etcd key prefix the main keys live below")
        ->required();
    sync->add_option("main_keys", options->main_keys, "Main keys to sync")->required();
    sync->add_flag("--once", options->once, "One full reconciliation, then exit");
    sync->add_flag("--json", options->json, "Status as one JSON object per line");
    sync->add_flag("--from-local", options->from_local,
                   "Reconcile fully at start with this database's values winning (to seed etcd)");
    sync->callback([options, &context] { RunSync(context, *options); });
}

}  // namespace brindle::tool

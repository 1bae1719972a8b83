// brindle serve: a web editor for the database on a loopback address, until interrupted.

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "brindle/commands.h"
#include "brindle/integrity.h"
#include "brindle/serve.h"
#include "brindle/tool_error.h"
#include "brindle_watch.h"

extern char** environ;

namespace brindle::tool {
namespace {

struct ServeOptions {
    int port = 8470;
    std::string bind = "127.0.0.1";
    bool read_only = false;
    bool open = false;
    std::size_t upload_mib = 64;
};

// Threads serving requests; a listening page holds one for its event stream.
constexpr std::size_t kServerThreads = 16;

// A folder of the server's own for the files of exports and imports, removed with all it
// holds when the server ends.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "brindle-serve-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw ToolError("cannot make a scratch folder in " + pattern);
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Asks the desktop to open the page; a failure leaves the printed address to the user.
void OpenBrowser(const std::string& url) {
    pid_t child = 0;
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    if (::posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0) {
        std::cerr << "brindle: serve: cannot run xdg-open; open the address yourself\n";
        return;
    }
    std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
}

// Everything a request meets: the security screen first, then the page, the API and the
// event stream; failures of the server itself answered in the API's form.
void Configure(httplib::Server& server, ServeState& state, const ServeSecurity& security) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.set_payload_max_length(state.upload_limit);
    server.set_pre_routing_handler(
        [&security](const httplib::Request& request, httplib::Response& response) {
            return security.Answer(request, response) ? httplib::Server::HandlerResponse::Handled
                                                      : httplib::Server::HandlerResponse::Unhandled;
        });
    const std::string too_large = "the upload is larger than the server takes (--max-upload " +
                                  std::to_string(state.upload_limit >> 20) + " MiB)";
    server.set_error_handler([too_large](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            AddSafetyHeaders(response);
            Refuse(response, response.status,
                   response.status == 413 ? too_large : "no such page or operation");
        }
    });
    AddAssetRoutes(server);
    AddApiRoutes(server, state);
    AddEventRoute(server, state);
}

// The port the server is bound to on options.bind.
int Bind(httplib::Server& server, const ServeOptions& options) {
    const int port = options.port == 0
                         ? server.bind_to_any_port(options.bind)
                         : (server.bind_to_port(options.bind, options.port) ? options.port : -1);
    if (port < 0) {
        throw ToolError("cannot listen on " + options.bind + " port " +
                        std::to_string(options.port));
    }
    return port;
}

void Listen(ServeState& state, const ServeOptions& options, const sigset_t& signals,
            std::ostream& out) {
    httplib::Server server;
    ServeSecurity security(options.bind);
    Configure(server, state, security);
    const int port = Bind(server, options);
    security.SetPort(port);
    const std::string host =
        options.bind.find(':') == std::string::npos ? options.bind : "[" + options.bind + "]";
    const std::string url =
        "http://" + host + ":" + std::to_string(port) + "/?token=" + security.Token();
    out << "serving " << state.database->Path() << (state.read_only ? " (read-only)" : "") << " at "
        << url << std::endl;
    if (options.open) {
        OpenBrowser(url);
    }
    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        stopping = true;
        state.events.Close();
        server.stop();
    });
    const bool listened = server.listen_after_bind();
    if (!stopping) {
        // The server ended by itself (its socket failed): the stopper is woken as by a signal.
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    if (!listened && !stopping) {
        throw ToolError("the server stopped: cannot accept connections");
    }
}

void Serve(ToolContext& context, const ServeOptions& options) {
    if (options.bind != "127.0.0.1" && options.bind != "::1" && options.bind != "localhost") {
        std::cerr << "brindle: warning: serving on " << options.bind
                  << ", which other machines may reach; the token is all that guards the "
                     "database\n";
    }
    const sigset_t signals = BlockEndingSignals();
    const DatabaseAccess access = options.read_only ? context.ReadAccess() : context.Access(false);
    ServeState state;
    state.read_only = options.read_only;
    state.upload_limit = options.upload_mib << 20;
    PrepareOpen(access);
    for (const MainKeyListing& key : ListMainKeys(access)) {
        if (key.hidden) {
            state.hidden_read_only[key.name] = key.read_only;
        }
    }
    const ScratchFolder scratch;
    state.scratch_folder = scratch.Path();
    Database database(access);
    state.database = &database;
    const WatchToken watch = WatchForPages(state);
    if (watch == 0) {
        throw ToolError("cannot watch database '" + database.Path() + "'");
    }
    try {
        Listen(state, options, signals, *context.out);
    } catch (...) {
        Unwatch(watch);
        throw;
    }
    Unwatch(watch);
}

}  // namespace

void AddServeCommand(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<ServeOptions>();
    CLI::App* serve =
        app.add_subcommand("serve",
                           "Edit the database in a web browser: serve a page and a JSON API until "
                           "interrupted");
    serve->add_option("--port", options->port, "Port to listen on (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    serve
        ->add_option("--bind", options->bind,
                     "Address to listen on; anything but the loopback address is warned of")
        ->capture_default_str();
    serve->add_flag("--read-only", options->read_only,
                    "Open the database read-only; the page and the API change nothing");
    serve->add_flag("--open", options->open, "Open the page in the desktop's browser");
    serve->add_option("--max-upload", options->upload_mib, "Largest import accepted, in MiB")
        ->check(CLI::Range(1, 4095))
        ->capture_default_str();
    serve->callback([options, &context] { Serve(context, *options); });
}

}  // namespace brindle::tool

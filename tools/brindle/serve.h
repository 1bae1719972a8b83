#pragma once

// The web editor `brindle serve`: one page and a JSON API over HTTP on a loopback address,
// for the one user who started it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>

#include "brindle/database.h"

namespace brindle::tool {

// Who may use the server. The token is printed in the page's address at start; the first
// request carrying it gets it back as an HttpOnly, SameSite=Strict cookie, which every later
// request must bring. Requests that change anything must also carry kChangeHeader, which a
// form or a plain link from another site cannot set. The Host header must name the bound
// address or localhost, so that a name another site controls cannot be pointed at the port.
class ServeSecurity {
public:
    static constexpr const char* kChangeHeader = "X-Brindle-Request";
    static constexpr const char* kCookieName = "brindle_token";

    // A fresh random token, for a server bound to `bind_address`.
    explicit ServeSecurity(std::string bind_address);

    const std::string& Token() const { return token_; }
    // The port the server listens on; Host headers naming another port are refused.
    void SetPort(int port) { port_ = port; }

    // Screens a request before it is routed. True when it was answered here: refused, or
    // the token in the address exchanged for the cookie.
    bool Answer(const httplib::Request& request, httplib::Response& response) const;

private:
    bool HostAllowed(const std::string& host) const;
    bool CookieHasToken(const httplib::Request& request) const;

    std::string token_;
    std::string bind_address_;
    int port_ = 0;
};

// Answers with `status` and {"code": 0, "name": "refused", "message": message}: a refusal
// of the server itself, before any operation of the database.
void Refuse(httplib::Response& response, int status, const std::string& message);

// The headers every answer carries: nothing is cached, framed, sniffed or fetched from
// elsewhere, and the address (which may hold the token) is never sent on as a referrer.
void AddSafetyHeaders(httplib::Response& response);

// The changes of the database as JSON texts, for the pages that listen. Publish is called
// on the library's watch thread; each listener waits on its own thread of the server.
class EventHub {
public:
    void Publish(std::string event);
    // The sequence number the next event will get.
    uint64_t Next();
    // Waits up to `timeout` for events numbered `next` or later and returns them, moving
    // `next` past them. When events were dropped before the listener read them, one
    // {"kind":"resync"} stands for them. False once Close was called.
    bool Wait(uint64_t& next, std::vector<std::string>& events, std::chrono::milliseconds timeout);
    // Wakes every listener for good.
    void Close();

private:
    static constexpr std::size_t kKept = 512;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> recent_;  // the last kKept events; the front one is numbered first_
    uint64_t first_ = 0;
    bool closed_ = false;
};

// Everything the routes share. The database is used by one request at a time.
struct ServeState {
    Database* database = nullptr;
    std::mutex database_mutex;
    bool read_only = false;
    // Main keys the exports do not list, with their flags, read from the data files before
    // the database was opened (a hidden main key is still reached by name).
    std::map<std::string, bool> hidden_read_only;
    std::size_t upload_limit = 0;
    // A folder of the server's own for the files of exports and imports; no path a request
    // names ever reaches the file system.
    std::string scratch_folder;
    EventHub events;
};

// One built-in file of the page.
struct Asset {
    const char* path;
    const char* content_type;
    const unsigned char* data;
    std::size_t size;
};
// The page's files, generated at build time from tools/serve_page.
const std::vector<Asset>& PageAssets();

// GET routes for the page's files.
void AddAssetRoutes(httplib::Server& server);
// The JSON API under /api.
void AddApiRoutes(httplib::Server& server, ServeState& state);
// GET /api/events: server-sent events, one per change, until the server stops.
void AddEventRoute(httplib::Server& server, ServeState& state);
// Feeds every change of the open database to state.events; returns the watch's token.
uint64_t WatchForPages(ServeState& state);

}  // namespace brindle::tool

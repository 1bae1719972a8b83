#include "brindle/etcd_client.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include "brindle/base64.h"

namespace brindle::tool::sync {
namespace {

using Json = nlohmann::json;

constexpr long kConnectMilliseconds = 2000;
constexpr long kRequestMilliseconds = 10000;
// A watch with nothing to report for this long is ended and started again: a member that
// vanished without closing the connection is noticed so.
constexpr long kQuietWatchSeconds = 15;

std::string Encode(const std::string& bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Decode(const Json& json, const char* field) {
    if (!json.contains(field) || !json[field].is_string()) {
        return {};
    }
    const std::vector<unsigned char> bytes = Base64Decode(json[field].get<std::string>());
    return std::string(bytes.begin(), bytes.end());
}

// The gateway writes 64-bit numbers as strings and leaves out fields that are zero.
int64_t Int64Field(const Json& json, const char* field) {
    if (!json.is_object() || !json.contains(field)) {
        return 0;
    }
    const Json& value = json[field];
    if (value.is_string()) {
        return std::stoll(value.get<std::string>());
    }
    return value.is_number_integer() ? value.get<int64_t>() : 0;
}

KeyValue KeyValueFrom(const Json& json) {
    return {Decode(json, "key"), Decode(json, "value"), Int64Field(json, "mod_revision")};
}

// What a refusal of the cluster means for the caller: gRPC status codes as the gateway
// passes them, and etcd's own words where the code is shared.
EtcdError ErrorFrom(const std::string& body, int http_status) {
    const Json json = Json::parse(body, nullptr, false);
    std::string message = "HTTP status " + std::to_string(http_status);
    int code = 0;
    if (json.is_object()) {
        if (json.contains("message") && json["message"].is_string()) {
            message = json["message"].get<std::string>();
        } else if (json.contains("error") && json["error"].is_string()) {
            message = json["error"].get<std::string>();
        }
        code = static_cast<int>(Int64Field(json, "code"));
    }
    if (message.find("compacted") != std::string::npos) {
        return {EtcdFault::kCompacted, message};
    }
    if (message.find("too large") != std::string::npos ||
        message.find("larger than max") != std::string::npos ||
        message.find("too many operations") != std::string::npos || http_status == 413) {
        return {EtcdFault::kTooLarge, message};
    }
    constexpr int kDeadlineExceeded = 4;
    constexpr int kUnavailable = 14;
    if (code == kDeadlineExceeded || code == kUnavailable || http_status >= 500 ||
        message.find("leader") != std::string::npos ||
        message.find("timed out") != std::string::npos) {
        return {EtcdFault::kUnreachable, message};
    }
    return {EtcdFault::kRefused, message};
}

// Takes one line of a watch's stream; false when the watch must end (`failure` says why).
bool TakeWatchLine(const Json& line, int64_t start_revision, const std::function<void()>& created,
                   const std::function<void(const RevisionEvents&)>& changes,
                   std::optional<EtcdError>& failure) {
    if (line.contains("error")) {
        failure = ErrorFrom(line["error"].dump(), 200);
        return false;
    }
    const Json& result = line["result"];
    if (Int64Field(result, "compact_revision") > 0) {
        failure = EtcdError(EtcdFault::kCompacted,
                            "revision " + std::to_string(start_revision) +
                                " was compacted (etcd keeps from " +
                                std::to_string(Int64Field(result, "compact_revision")) + ")");
        return false;
    }
    if (result.value("canceled", false)) {
        failure = EtcdError(EtcdFault::kUnreachable, "etcd cancelled the watch");
        return false;
    }
    if (result.value("created", false)) {
        created();
    }
    if (!result.contains("events")) {
        return true;
    }
    // One response may carry several revisions; each goes on its own.
    RevisionEvents batch;
    for (const Json& event : result["events"]) {
        KeyValue kv = KeyValueFrom(event["kv"]);
        if (kv.mod_revision != batch.revision && !batch.puts_and_deletes.empty()) {
            changes(batch);
            batch = RevisionEvents();
        }
        batch.revision = kv.mod_revision;
        batch.deleted.push_back(event.value("type", "PUT") == "DELETE");
        batch.puts_and_deletes.push_back(std::move(kv));
    }
    if (!batch.puts_and_deletes.empty()) {
        changes(batch);
    }
    return true;
}

}  // namespace

// One libcurl handle: a connection that requests reuse while they go to the same member.
class EtcdClient::Connection {
public:
    Connection() : handle_(curl_easy_init()) {
        if (handle_ == nullptr) {
            throw EtcdError(EtcdFault::kRefused, "libcurl could not start");
        }
    }
    ~Connection() { curl_easy_cleanup(handle_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // POSTs `body` as JSON to `url`; `receive` gets the response's bytes as they come and
    // returns false to end the transfer. Returns libcurl's result; `status` the HTTP status.
    CURLcode Post(const std::string& url, const std::string& body,
                  const std::function<bool(const char*, std::size_t)>& receive, long& status,
                  long quiet_seconds) {
        receive_ = &receive;
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, kConnectMilliseconds);
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS,
                         quiet_seconds > 0 ? 0L : kRequestMilliseconds);
        // A watch runs for as long as it may; only silence ends it.
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, quiet_seconds > 0 ? 1L : 0L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, quiet_seconds);
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &Connection::Write);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
        const CURLcode result = curl_easy_perform(handle_);
        curl_slist_free_all(headers);
        status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        return result;
    }

    // Calls `opened` with the socket of each connection this handle opens (to shut it down
    // from another thread).
    void OnSocket(std::function<void(int)> opened) {
        opened_ = std::move(opened);
        curl_easy_setopt(handle_, CURLOPT_SOCKOPTFUNCTION, &Connection::SocketOpened);
        curl_easy_setopt(handle_, CURLOPT_SOCKOPTDATA, this);
    }

private:
    static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self) {
        const auto* connection = static_cast<Connection*>(self);
        return (*connection->receive_)(data, size * count) ? size * count : 0;
    }
    static int SocketOpened(void* self, curl_socket_t socket, curlsocktype) {
        const auto* connection = static_cast<Connection*>(self);
        if (connection->opened_) {
            connection->opened_(socket);
        }
        return CURL_SOCKOPT_OK;
    }

    CURL* handle_;
    const std::function<bool(const char*, std::size_t)>* receive_ = nullptr;
    std::function<void(int)> opened_;
};

EtcdClient::EtcdClient(std::vector<std::string> endpoints) : endpoints_(std::move(endpoints)) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised) {
        throw EtcdError(EtcdFault::kRefused, "libcurl could not start");
    }
}

EtcdClient::~EtcdClient() = default;

std::string EtcdClient::CurrentEndpoint() const {
    return endpoints_[current_.load() % endpoints_.size()];
}

std::string EtcdClient::Post(const std::string& path, const std::string& body) {
    if (!requests_) {
        requests_ = std::make_unique<Connection>();
    }
    std::string last_failure;
    const std::size_t first = current_.load();
    for (std::size_t attempt = 0; attempt < endpoints_.size(); ++attempt) {
        const std::size_t endpoint = (first + attempt) % endpoints_.size();
        std::string response;
        long status = 0;
        const CURLcode result = requests_->Post(
            endpoints_[endpoint] + path, body,
            [&response](const char* data, std::size_t length) {
                response.append(data, length);
                return true;
            },
            status, 0);
        if (result != CURLE_OK) {
            last_failure = endpoints_[endpoint] + ": " + curl_easy_strerror(result);
            continue;
        }
        if (status == 200) {
            current_ = endpoint;
            return response;
        }
        EtcdError error = ErrorFrom(response, static_cast<int>(status));
        if (error.Fault() != EtcdFault::kUnreachable) {
            current_ = endpoint;
            throw error;
        }
        last_failure = endpoints_[endpoint] + ": " + error.what();
    }
    throw EtcdError(EtcdFault::kUnreachable, last_failure);
}

Json EtcdClient::Ask(const std::string& path, const Json& request) {
    Json response = Json::parse(Post(path, request.dump()), nullptr, false);
    if (!response.is_object()) {
        throw EtcdError(EtcdFault::kRefused,
                        CurrentEndpoint() + path + ": the answer is not a JSON object");
    }
    return response;
}

template <typename Read>
auto EtcdClient::Reading(const std::string& path, Read read) -> decltype(read()) {
    try {
        return read();
    } catch (const EtcdError&) {
        throw;
    } catch (const std::exception& error) {
        // A field of another type or bad base64: nothing this client can use.
        throw EtcdError(EtcdFault::kRefused,
                        CurrentEndpoint() + path + ": the answer cannot be read: " + error.what());
    }
}

int64_t EtcdClient::Range(const std::string& begin, const std::string& end, int64_t revision,
                          std::vector<KeyValue>& out) {
    Json request{{"key", Encode(begin)}, {"range_end", Encode(end)}};
    if (revision > 0) {
        request["revision"] = std::to_string(revision);
    }
    const Json response = Ask("/v3/kv/range", request);
    return Reading("/v3/kv/range", [&] {
        if (response.contains("kvs")) {
            for (const Json& kv : response["kvs"]) {
                out.push_back(KeyValueFrom(kv));
            }
        }
        return Int64Field(response["header"], "revision");
    });
}

std::pair<std::string, int64_t> EtcdClient::ClusterAndRevision() {
    // A count of the keys in an empty range: the cheapest request that carries the header.
    const Json request{{"key", Encode(std::string(1, '\0'))}, {"count_only", true}};
    const Json response = Ask("/v3/kv/range", request);
    return Reading("/v3/kv/range", [&] {
        const Json& header = response["header"];
        const std::string cluster =
            header.contains("cluster_id") ? header["cluster_id"].get<std::string>() : "";
        return std::make_pair(cluster, Int64Field(header, "revision"));
    });
}

TxnResult EtcdClient::Txn(const std::vector<Condition>& conditions,
                          const std::vector<Operation>& operations) {
    Json compare = Json::array();
    Json failure = Json::array();
    for (const Condition& condition : conditions) {
        compare.push_back({{"key", Encode(condition.key)},
                           {"target", "MOD"},
                           {"result", "EQUAL"},
                           {"mod_revision", std::to_string(condition.mod_revision)}});
        failure.push_back({{"request_range", {{"key", Encode(condition.key)}}}});
    }
    Json success = Json::array();
    for (const Operation& operation : operations) {
        if (operation.value) {
            success.push_back(
                {{"request_put",
                  {{"key", Encode(operation.key)}, {"value", Encode(*operation.value)}}}});
        } else {
            success.push_back({{"request_delete_range", {{"key", Encode(operation.key)}}}});
        }
    }
    const Json request{{"compare", compare}, {"success", success}, {"failure", failure}};
    const Json response = Ask("/v3/kv/txn", request);
    return Reading("/v3/kv/txn", [&] {
        TxnResult result;
        result.succeeded = response.value("succeeded", false);
        result.revision = Int64Field(response["header"], "revision");
        if (!result.succeeded && response.contains("responses")) {
            for (const Json& each : response["responses"]) {
                const Json& range = each["response_range"];
                if (range.contains("kvs") && !range["kvs"].empty()) {
                    result.current.emplace_back(KeyValueFrom(range["kvs"][0]));
                } else {
                    result.current.emplace_back(std::nullopt);
                }
            }
        }
        return result;
    });
}

void EtcdClient::Watch(const std::string& begin, const std::string& end, int64_t start_revision,
                       const std::function<void()>& created,
                       const std::function<void(const RevisionEvents&)>& changes) {
    Connection connection;
    connection.OnSocket([this](int socket) {
        const std::lock_guard<std::mutex> lock(watch_mutex_);
        watch_socket_ = socket;
        if (watch_stopped_) {
            ::shutdown(socket, SHUT_RDWR);
        }
    });
    {
        const std::lock_guard<std::mutex> lock(watch_mutex_);
        if (watch_stopped_) {
            return;
        }
    }
    struct Forget {
        EtcdClient* self;
        ~Forget() {
            const std::lock_guard<std::mutex> lock(self->watch_mutex_);
            self->watch_socket_ = -1;
        }
    } forget{this};

    const Json request{{"create_request",
                        {{"key", Encode(begin)},
                         {"range_end", Encode(end)},
                         {"start_revision", std::to_string(start_revision)}}}};
    std::string pending;
    std::optional<EtcdError> failure;
    // The gateway writes one JSON object per line, each a watch response or an error.
    const auto receive = [&](const char* data, std::size_t length) {
        pending.append(data, length);
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const Json line = Json::parse(pending.substr(0, newline), nullptr, false);
            pending.erase(0, newline + 1);
            try {
                if (line.is_object() &&
                    !TakeWatchLine(line, start_revision, created, changes, failure)) {
                    return false;
                }
            } catch (const std::exception& error) {
                // No exception may cross libcurl's C frames.
                failure = EtcdError(EtcdFault::kRefused,
                                    std::string("a watch event cannot be read: ") + error.what());
                return false;
            }
        }
        return true;
    };
    const std::size_t endpoint = current_.load();
    long status = 0;
    const CURLcode result = connection.Post(endpoints_[endpoint % endpoints_.size()] + "/v3/watch",
                                            request.dump(), receive, status, kQuietWatchSeconds);
    if (failure) {
        throw *failure;
    }
    if (WatchStopped() || result == CURLE_OPERATION_TIMEDOUT) {
        return;  // stopped, or quiet for long: the caller watches again
    }
    if (result != CURLE_OK) {
        current_ = endpoint + 1;  // the next attempt tries the next member
        throw EtcdError(EtcdFault::kUnreachable, endpoints_[endpoint % endpoints_.size()] + ": " +
                                                     curl_easy_strerror(result));
    }
    if (status != 200) {
        throw ErrorFrom(pending, static_cast<int>(status));
    }
}

void EtcdClient::StopWatch() {
    const std::lock_guard<std::mutex> lock(watch_mutex_);
    watch_stopped_ = true;
    if (watch_socket_ >= 0) {
        ::shutdown(watch_socket_, SHUT_RDWR);  // the watch's transfer ends at once
    }
}

bool EtcdClient::WatchStopped() {
    const std::lock_guard<std::mutex> lock(watch_mutex_);
    return watch_stopped_;
}

void EtcdClient::ResumeWatches() {
    const std::lock_guard<std::mutex> lock(watch_mutex_);
    watch_stopped_ = false;
}

}  // namespace brindle::tool::sync

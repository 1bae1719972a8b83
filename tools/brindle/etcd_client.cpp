#include "brindle/etcd_client.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "brindle/base64.h"

namespace brindle::tool::sync {
namespace {

using Json = nlohmann::json;

constexpr time_t kConnectSeconds = 2;
constexpr time_t kRequestSeconds = 10;
// A watch with nothing to report for this long is ended and started again: a member that
// vanished without closing the connection is noticed so.
constexpr time_t kQuietWatchSeconds = 15;

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

}  // namespace

EtcdClient::EtcdClient(std::vector<std::string> endpoints) : endpoints_(std::move(endpoints)) {}

EtcdClient::~EtcdClient() = default;

std::unique_ptr<httplib::Client> EtcdClient::ClientFor(std::size_t endpoint) const {
    auto client = std::make_unique<httplib::Client>(endpoints_[endpoint % endpoints_.size()]);
    client->set_connection_timeout(kConnectSeconds, 0);
    client->set_read_timeout(kRequestSeconds, 0);
    client->set_write_timeout(kRequestSeconds, 0);
    client->set_keep_alive(false);
    return client;
}

std::string EtcdClient::CurrentEndpoint() const {
    return endpoints_[current_.load() % endpoints_.size()];
}

std::string EtcdClient::Post(const std::string& path, const std::string& body) {
    std::string last_failure;
    const std::size_t first = current_.load();
    for (std::size_t attempt = 0; attempt < endpoints_.size(); ++attempt) {
        const std::size_t endpoint = (first + attempt) % endpoints_.size();
        const std::unique_ptr<httplib::Client> client = ClientFor(endpoint);
        const httplib::Result result = client->Post(path, body, "application/json");
        if (!result) {
            last_failure = endpoints_[endpoint] + ": " + httplib::to_string(result.error());
            continue;
        }
        if (result->status == 200) {
            current_ = endpoint;
            return result->body;
        }
        EtcdError error = ErrorFrom(result->body, result->status);
        if (error.Fault() != EtcdFault::kUnreachable) {
            current_ = endpoint;
            throw error;
        }
        last_failure = endpoints_[endpoint] + ": " + error.what();
    }
    throw EtcdError(EtcdFault::kUnreachable, last_failure);
}

int64_t EtcdClient::Range(const std::string& begin, const std::string& end, int64_t revision,
                          std::vector<KeyValue>& out) {
    Json request{{"key", Encode(begin)}, {"range_end", Encode(end)}};
    if (revision > 0) {
        request["revision"] = std::to_string(revision);
    }
    const Json response = Json::parse(Post("/v3/kv/range", request.dump()));
    if (response.contains("kvs")) {
        for (const Json& kv : response["kvs"]) {
            out.push_back(KeyValueFrom(kv));
        }
    }
    return Int64Field(response["header"], "revision");
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
    const Json response = Json::parse(Post("/v3/kv/txn", request.dump()));
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
}

void EtcdClient::Watch(const std::string& begin, const std::string& end, int64_t start_revision,
                       const std::function<void()>& created,
                       const std::function<void(const RevisionEvents&)>& changes) {
    std::unique_ptr<httplib::Client> client = ClientFor(current_.load());
    client->set_read_timeout(kQuietWatchSeconds, 0);
    {
        const std::lock_guard<std::mutex> lock(watch_mutex_);
        if (watch_stopped_) {
            return;
        }
        watch_client_ = client.get();
    }
    struct Unregister {
        EtcdClient* self;
        ~Unregister() {
            const std::lock_guard<std::mutex> lock(self->watch_mutex_);
            self->watch_client_ = nullptr;
        }
    } unregister{this};

    const Json request{{"create_request",
                        {{"key", Encode(begin)},
                         {"range_end", Encode(end)},
                         {"start_revision", std::to_string(start_revision)}}}};
    std::string pending;
    std::optional<EtcdError> failure;
    httplib::Request http;
    http.method = "POST";
    http.path = "/v3/watch";
    http.body = request.dump();
    http.set_header("Content-Type", "application/json");
    // The gateway writes one JSON object per line, each a watch response or an error.
    http.content_receiver = [&](const char* data, std::size_t length, uint64_t, uint64_t) {
        pending.append(data, length);
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const Json line = Json::parse(pending.substr(0, newline), nullptr, false);
            pending.erase(0, newline + 1);
            if (line.is_discarded()) {
                continue;
            }
            if (line.contains("error")) {
                failure = ErrorFrom(line["error"].dump(), 200);
                return false;
            }
            const Json& result = line["result"];
            if (Int64Field(result, "compact_revision") > 0) {
                failure =
                    EtcdError(EtcdFault::kCompacted,
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
            if (result.contains("events")) {
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
            }
        }
        return true;
    };
    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    const bool sent = client->send(http, response, error);
    if (failure) {
        throw *failure;
    }
    {
        const std::lock_guard<std::mutex> lock(watch_mutex_);
        if (watch_stopped_) {
            return;
        }
    }
    if (!sent && error != httplib::Error::Read && error != httplib::Error::Canceled) {
        current_ = current_.load() + 1;  // the next attempt tries the next member
        throw EtcdError(EtcdFault::kUnreachable,
                        endpoints_[(current_.load() - 1) % endpoints_.size()] + ": " +
                            httplib::to_string(error));
    }
    if (sent && response.status != 200) {
        throw ErrorFrom(pending, response.status);
    }
}

void EtcdClient::StopWatch() {
    const std::lock_guard<std::mutex> lock(watch_mutex_);
    watch_stopped_ = true;
    if (watch_client_ != nullptr) {
        watch_client_->stop();
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

#pragma once

// A small client of etcd's v3 API, spoken as JSON over HTTP (etcd's gateway: /v3/kv/range,
// /v3/kv/txn, /v3/watch) through libcurl. Keys and values are byte strings; the gateway carries
// them in base64, which this class hides.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brindle::tool::sync {

// Why a request failed.
enum class EtcdFault {
    kUnreachable,  // no endpoint answered, or the cluster could not serve it (no leader)
    kCompacted,    // the revision asked for was compacted away
    kTooLarge,     // the request is larger than the cluster takes
    kRefused,      // any other refusal; retrying the same request will not help
};

class EtcdError : public std::runtime_error {
public:
    EtcdError(EtcdFault fault, const std::string& message)
        : std::runtime_error(message), fault_(fault) {}
    EtcdFault Fault() const { return fault_; }

private:
    EtcdFault fault_;
};

struct KeyValue {
    std::string key;
    std::string value;
    int64_t mod_revision = 0;
};

// A condition of a transaction: the key's mod_revision is `mod_revision` (0: the key is
// absent).
struct Condition {
    std::string key;
    int64_t mod_revision = 0;
};

// A put when `value` is set, else a delete of the one key.
struct Operation {
    std::string key;
    std::optional<std::string> value;
};

struct TxnResult {
    bool succeeded = false;
    int64_t revision = 0;  // the cluster's revision after the transaction
    // When it failed: each condition's key as it is now (nullopt: absent), in their order.
    std::vector<std::optional<KeyValue>> current;
};

// The changes of one revision, as a watch reports them.
struct RevisionEvents {
    int64_t revision = 0;
    std::vector<KeyValue> puts_and_deletes;  // in the order etcd reports them
    std::vector<bool> deleted;               // one per entry above
};

class EtcdClient {
public:
    // `endpoints`: "http://host:port" URLs of the cluster's members. A request goes to the
    // member that answered last, and on to the next one when it does not answer.
    explicit EtcdClient(std::vector<std::string> endpoints);
    ~EtcdClient();
    EtcdClient(const EtcdClient&) = delete;
    EtcdClient& operator=(const EtcdClient&) = delete;

    // The keys in [begin, end) as of `revision` (0: the latest); returns the revision read.
    // Throws EtcdError.
    int64_t Range(const std::string& begin, const std::string& end, int64_t revision,
                  std::vector<KeyValue>& out);
    // Applies `operations` as one transaction when every condition holds; otherwise reads the
    // conditions' keys instead. Throws EtcdError.
    TxnResult Txn(const std::vector<Condition>& conditions,
                  const std::vector<Operation>& operations);
    // Watches [begin, end) from `start_revision` until StopWatch: calls `created` once the
    // watch stands, then `changes` for each revision in order. Returns normally when stopped
    // or when the stream ended quietly (the caller watches again from where it was); throws
    // EtcdError (kCompacted when start_revision is gone). One watch at a time.
    void Watch(const std::string& begin, const std::string& end, int64_t start_revision,
               const std::function<void()>& created,
               const std::function<void(const RevisionEvents&)>& changes);
    // Ends a running Watch from another thread, and every later one until ResumeWatches.
    void StopWatch();
    void ResumeWatches();
    bool WatchStopped();

    // The cluster's id and its revision now, from a request that reads nothing.
    std::pair<std::string, int64_t> ClusterAndRevision();

    // The endpoint requests go to now, for reports.
    std::string CurrentEndpoint() const;

private:
    class Connection;

    // POSTs `request` to `path`; the answer, a JSON object. Throws EtcdError.
    nlohmann::json Ask(const std::string& path, const nlohmann::json& request);
    // Runs `read` over an answer; what it throws for a malformed answer becomes an EtcdError.
    template <typename Read>
    auto Reading(const std::string& path, Read read) -> decltype(read());

    std::string Post(const std::string& path, const std::string& body);

    std::vector<std::string> endpoints_;
    std::atomic<std::size_t> current_{0};
    // For Range and Txn, kept between requests so that they reuse one connection.
    std::unique_ptr<Connection> requests_;
    std::mutex watch_mutex_;
    int watch_socket_ = -1;       // guarded by watch_mutex_; the running watch's connection
    bool watch_stopped_ = false;  // guarded by watch_mutex_
};

}  // namespace brindle::tool::sync

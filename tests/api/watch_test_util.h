#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brindle_watch.h"

namespace brindle::testing_api {

// Collects the changes a watch is told of, for the test thread to wait on. Its callbacks share
// what they collect with it, so that a callback still returning on the feed's thread when the
// log goes out of scope touches nothing freed.
class ChangeLog {
public:
    WatchCallback Callback() {
        return [state = state_](const Change& change) { state->Add(change); };
    }
    void Add(const Change& change) { state_->Add(change); }
    // Waits until `count` changes arrived; a generous bound only keeps a broken feed from
    // hanging the test.
    bool WaitFor(size_t count) {
        std::unique_lock lock(state_->mutex);
        return state_->grown.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return state_->changes.size() >= count; });
    }
    std::vector<Change> Changes() {
        std::lock_guard lock(state_->mutex);
        return state_->changes;
    }
    // The changes as "kind main path name" lines.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        for (const Change& change : Changes()) {
            lines.push_back(std::string(ChangeKindName(change.kind)) + " " + change.main_key + " " +
                            change.path + " " + change.name);
        }
        return lines;
    }

private:
    struct State {
        void Add(const Change& change) {
            std::lock_guard lock(mutex);
            changes.push_back(change);
            grown.notify_all();
        }
        std::mutex mutex;
        std::condition_variable grown;
        std::vector<Change> changes;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace brindle::testing_api

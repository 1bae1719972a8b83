#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "brindle_watch.h"

namespace brindle::testing_api {

// Collects the changes a watch is told of, for the test thread to wait on.
class ChangeLog {
public:
    WatchCallback Callback() {
        return [this](const Change& change) { Add(change); };
    }
    void Add(const Change& change) {
        {
            std::lock_guard lock(mutex_);
            changes_.push_back(change);
        }
        grown_.notify_all();
    }
    // Waits until `count` changes arrived; a generous bound only keeps a broken feed from
    // hanging the test.
    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        return grown_.wait_for(lock, std::chrono::seconds(60),
                               [&] { return changes_.size() >= count; });
    }
    std::vector<Change> Changes() {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    // The changes as "kind main path name" lines.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        for (const Change& change : Changes()) {
            lines.push_back(Line(change));
        }
        return lines;
    }
    static std::string Line(const Change& change) {
        return std::string(ChangeKindName(change.kind)) + " " + change.main_key + " " +
               change.path + " " + change.name;
    }

private:
    std::mutex mutex_;
    std::condition_variable grown_;
    std::vector<Change> changes_;
};

}  // namespace brindle::testing_api

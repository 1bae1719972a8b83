#pragma once

#include <cstdint>
#include <vector>

namespace brindle {

// Collects the numbers of the pages this thread reads through the pager while it is in
// scope: what a cache built from the pages depends on, so that it can be dropped when one of
// them changes. Scopes nest; the innermost collects.
class PageReadRecorder {
public:
    explicit PageReadRecorder(std::vector<uint64_t>* pages) : previous_(active_) {
        active_ = pages;
    }
    ~PageReadRecorder() { active_ = previous_; }
    PageReadRecorder(const PageReadRecorder&) = delete;
    PageReadRecorder& operator=(const PageReadRecorder&) = delete;

    // Called by the pager for every page read; one thread-local load when nothing records.
    static void Note(uint64_t number) {
        if (active_ != nullptr) {
            active_->push_back(number);
        }
    }

private:
    static inline thread_local std::vector<uint64_t>* active_ = nullptr;
    std::vector<uint64_t>* previous_;
};

}  // namespace brindle

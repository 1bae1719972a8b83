#include "keys/path_cache.h"

#include <mutex>
#include <shared_mutex>

namespace brindle {

uint64_t PathCache::Find(uint64_t top, bool dotted, std::string_view path,
                         uint64_t generation) const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    if (generation != generation_) {
        return 0;
    }
    auto found = nodes_.find(KeyView{top, dotted, path});
    return found == nodes_.end() ? 0 : found->second;
}

void PathCache::Add(uint64_t top, bool dotted, std::string_view path, uint64_t node,
                    uint64_t generation) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    if (generation != generation_ || nodes_.size() >= max_entries_) {
        nodes_.clear();
        generation_ = generation;
    }
    nodes_.emplace(Key{top, dotted, std::string(path)}, node);
}

size_t PathCache::Size() const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    return nodes_.size();
}

}  // namespace brindle

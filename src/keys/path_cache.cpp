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
    Renew(generation, nodes_.size());
    nodes_.emplace(Key{top, dotted, std::string(path)}, node);
}

std::optional<std::string> PathCache::FindPathOf(uint64_t top, uint64_t node,
                                                 uint64_t generation) const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    if (generation != generation_) {
        return std::nullopt;
    }
    auto found = paths_of_.find(node);
    if (found == paths_of_.end() || found->second.first != top) {
        return std::nullopt;
    }
    return found->second.second;
}

void PathCache::AddPathOf(uint64_t top, uint64_t node, const std::string& path,
                          uint64_t generation) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    Renew(generation, paths_of_.size());
    paths_of_.insert_or_assign(node, std::make_pair(top, path));
}

void PathCache::Renew(uint64_t generation, size_t count) {
    if (generation != generation_ || count >= max_entries_) {
        nodes_.clear();
        paths_of_.clear();
        generation_ = generation;
    }
}

size_t PathCache::Size() const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    return nodes_.size();
}

}  // namespace brindle

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "vell/striped_shared_mutex.h"

namespace brindle {

// Key paths already resolved, below a main key's node, to the node they name: opening a key
// by a path seen before costs one lookup instead of one per level. A cache, never a source
// of truth: every entry belongs to one generation of the tree's children indexes (raised
// whenever a name may stop naming the child it named), and a lookup in another generation
// finds nothing; the next entry added then empties the cache.
//
// Memory: at most `max_entries` paths each way (about 90 bytes each plus the path); when
// one way is full, the cache is emptied before the next entry is added.
//
// Thread safety: any thread; lookups share a lock, additions take it alone.
class PathCache {
public:
    explicit PathCache(size_t max_entries = 1u << 18) : max_entries_(max_entries) {}

    // The node `path` names below `top` (0 when it is not held), resolved the same way
    // (`dotted`) in `generation`.
    uint64_t Find(uint64_t top, bool dotted, std::string_view path, uint64_t generation) const;
    void Add(uint64_t top, bool dotted, std::string_view path, uint64_t node, uint64_t generation);
    // The other way: the backslash path of `node` below `top`, as a change names it.
    std::optional<std::string> FindPathOf(uint64_t top, uint64_t node, uint64_t generation) const;
    void AddPathOf(uint64_t top, uint64_t node, const std::string& path, uint64_t generation);
    size_t Size() const;

private:
    struct Key {
        uint64_t top;
        bool dotted;
        std::string path;
    };
    // What a lookup needs of a key, without copying its path.
    struct KeyView {
        uint64_t top;
        bool dotted;
        std::string_view path;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(const KeyView& key) const {
            return std::hash<std::string_view>()(key.path) ^ (key.top * 0x9E3779B97F4A7C15ull) ^
                   (key.dotted ? 1 : 0);
        }
        size_t operator()(const Key& key) const {
            return (*this)(KeyView{key.top, key.dotted, key.path});
        }
    };
    struct Equal {
        using is_transparent = void;
        static KeyView View(const Key& key) { return KeyView{key.top, key.dotted, key.path}; }
        static KeyView View(const KeyView& key) { return key; }
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            const KeyView x = View(a);
            const KeyView y = View(b);
            return x.top == y.top && x.dotted == y.dotted && x.path == y.path;
        }
    };

    // Empties both directions when `generation` is not theirs, or when `count` is full.
    void Renew(uint64_t generation, size_t count);

    mutable vell::StripedSharedMutex lock_;
    std::unordered_map<Key, uint64_t, Hash, Equal> nodes_;
    std::unordered_map<uint64_t, std::pair<uint64_t, std::string>> paths_of_;  // node -> top, path
    uint64_t generation_ = 0;
    size_t max_entries_;
};

}  // namespace brindle

#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tree/tree_store.h"
#include "vell/mem_cache.h"

namespace brindle {

// The memory an image is written into: Capacity() bytes from Base(), of which only the
// bytes Reserve has been asked for may be touched.
class ImageSink {
public:
    virtual ~ImageSink() = default;
    virtual uint8_t* Base() = 0;
    virtual uint32_t Capacity() const = 0;
    // Makes the first `end` bytes (at most Capacity()) writable; false when memory cannot
    // be had.
    virtual bool Reserve(uint64_t end) = 0;
};

// Writes the image of one key's subtree (the export file's contents) into a sink, in one
// depth-first pass over the tree without measuring first. The caller holds the key's main
// key lock for reading. Tree-store exceptions pass.
class ImageWriter {
public:
    ImageWriter(TreeStore& tree, ImageSink& sink);
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    // Writes the header (with `key_path`), the records of `node` and everything below it,
    // and the end record. kOk, or: kNoRoot without a tree, kBadNode for node 0, kKeyPathTooLong for
    // a key path of 2048 characters or more, kImageTooLarge when the image does not fit the sink's
    // capacity, kNoBuffer when the sink cannot provide its memory; tree-store outcomes pass
    // unchanged.
    Status Write(uint64_t node, const std::string& key_path);
    // Bytes of the finished image.
    uint32_t Length() const { return static_cast<uint32_t>(total_); }

private:
    using Children = std::vector<std::pair<uint64_t, std::string>>;

    Status WriteHeader(const std::string& key_path);
    Status WriteChildren(uint64_t root, bool& wrote_any);
    // Appends a node record (header, name, property block) at the end of the image;
    // `record_at` receives its offset.
    Status AppendNodeRecord(uint64_t node, const std::string& name, uint32_t flags, uint32_t id,
                            uint32_t parent, uint64_t& record_at);
    // Appends bytes, keeping the image below the capacity.
    Status Append(const void* data, uint64_t length);
    Status GetChildren(uint64_t node, Children& children);
    void AddFlags(uint64_t record_at, uint32_t flags);

    TreeStore& tree_;
    ImageSink& sink_;
    vell::MemCache block_;
    uint64_t total_ = 0;
};

}  // namespace brindle

#include "transfer/scratch_segment.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "brindle_codes.h"

namespace brindle {
namespace {

// Memory is committed in steps of this many bytes.
constexpr uint64_t kCommitStep = 4u << 20;
// Names are formatted into a buffer of this size.
constexpr size_t kNameBuffer = 256;

}  // namespace

ScratchSegment::ScratchSegment(uint32_t capacity, std::string base_name)
    : capacity_(capacity), base_name_(std::move(base_name)) {}

ScratchSegment::~ScratchSegment() {
    Release();
}

Status ScratchSegment::ClaimNumbered(int64_t node) {
    char name[kNameBuffer];
    for (int attempt = 1; attempt <= kMaxTries; ++attempt) {
        std::snprintf(name, sizeof(name), "%s_%" PRId64 "_%d", base_name_.c_str(), node, attempt);
        Status result = TryName(name);
        if (result != Status::kNoSegmentName) {
            return result;
        }
    }
    return Status::kNoSegmentName;
}

Status ScratchSegment::ClaimSingle(int64_t node) {
    char name[kNameBuffer];
    std::snprintf(name, sizeof(name), "%s_%" PRId64, base_name_.c_str(), node);
    return TryName(name);
}

Status ScratchSegment::TryName(const std::string& name) {
    Release();
    memory_ = std::make_unique<vell::SharedMemory>(name);
    if (!memory_->Create(capacity_)) {
        Release();
        return Status::kNoBuffer;
    }
    if (memory_->Existed()) {
        Release();
        return Status::kNoSegmentName;
    }
    base_ = memory_->Data();
    name_ = name;
    return Status::kOk;
}

bool ScratchSegment::Reserve(uint64_t end) {
    if (end <= committed_) {
        return true;
    }
    if (base_ == nullptr || end > capacity_) {
        return false;
    }
    const uint64_t target =
        std::min<uint64_t>(capacity_, (end + kCommitStep - 1) / kCommitStep * kCommitStep);
    if (!memory_->Commit(target)) {
        return false;
    }
    committed_ = target;
    return true;
}

void ScratchSegment::Release() {
    memory_.reset();
    base_ = nullptr;
    committed_ = 0;
    name_.clear();
}

}  // namespace brindle

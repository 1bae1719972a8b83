#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transfer/export_image.h"
#include "transfer/image_writer.h"
#include "vell/shared_memory.h"

namespace brindle {

// The named shared-memory segment an export builds its image in. Its name tells other
// exports, in this process and in others, that an export of a key at that node position
// runs: "<base>_<node>_<try>" for exports that may run side by side (the first free try
// from 1 to 300), "<base>_<node>" for exports that refuse to. The segment is created for
// one export and destroyed with this object, which frees the name.
//
// Memory is committed as the image grows, so that a system short of shared memory makes
// the export fail instead of faulting on a write.
class ScratchSegment : public ImageSink {
public:
    static constexpr const char* kBaseName = "ZR_Brindle_ShareMemory_Name";
    static constexpr int kMaxTries = 300;

    explicit ScratchSegment(uint32_t capacity = export_image::kScratchCapacity,
                            std::string base_name = kBaseName);
    ~ScratchSegment() override;
    ScratchSegment(const ScratchSegment&) = delete;
    ScratchSegment& operator=(const ScratchSegment&) = delete;

    // Takes the first free name of tries 1 to 300. kOk, kNoSegmentName when every name is
    // held, kNoBuffer when a segment cannot be created or mapped.
    Status ClaimNumbered(int64_t node);
    // Takes the single name of the node. kOk, kNoSegmentName when it is held,
    // kNoBuffer.
    Status ClaimSingle(int64_t node);
    // Unmaps and destroys the segment; the name is free again.
    void Release();

    const std::string& Name() const { return name_; }

    uint8_t* Base() override { return base_; }
    uint32_t Capacity() const override { return capacity_; }
    bool Reserve(uint64_t end) override;

private:
    // kOk when the name was free and is ours now; kNoSegmentName when another export holds it.
    Status TryName(const std::string& name);

    uint32_t capacity_;
    std::string base_name_;
    std::string name_;
    std::unique_ptr<vell::SharedMemory> memory_;
    uint8_t* base_ = nullptr;
    uint64_t committed_ = 0;
};

}  // namespace brindle

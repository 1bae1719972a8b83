#include "peer/store_common.h"

#include <array>
#include <vector>

namespace peer {

namespace {

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t Fnv1a(const unsigned char* bytes, size_t length, uint64_t hash) {
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ bytes[i]) * kFnvPrime;
    }
    return hash;
}

}  // namespace

uint64_t HashName(std::string_view name) {
    return Fnv1a(reinterpret_cast<const unsigned char*>(name.data()), name.size(), kFnvOffset);
}

uint64_t HashProperty(std::string_view name, const vell::VariableData& value) {
    const uint64_t hash = HashName(name);
    int length = 0;
    value.ToBinary(nullptr, length);
    // The benchmark's values are short; a stack buffer keeps the hash cheap beside the work.
    std::array<unsigned char, 256> small;
    std::vector<unsigned char> large;
    unsigned char* form = small.data();
    if (length > static_cast<int>(small.size())) {
        large.resize(length);
        form = large.data();
    }
    value.ToBinary(form, length);
    return Fnv1a(form, length, hash);
}

namespace {
Syncs syncs_chosen = Syncs::kOff;
}  // namespace

void SetSyncs(Syncs syncs) {
    syncs_chosen = syncs;
}

Syncs CurrentSyncs() {
    return syncs_chosen;
}

void KeyListing::AddProperty(std::string_view name, const vell::VariableData& value) {
    ++properties;
    checksum += HashProperty(name, value);
}

}  // namespace peer

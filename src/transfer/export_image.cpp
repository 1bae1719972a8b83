#include "transfer/export_image.h"

#include "vell/endian.h"

namespace brindle::export_image {

uint32_t ExportChecksum(const uint8_t* data, uint32_t n) {
    uint32_t sum = 0;
    const uint32_t words = n / 4;
    for (uint32_t i = 0; i < words; ++i) {
        sum += vell::LoadU32(data + 4 * i);
    }
    const uint32_t rest = n % 4;
    if (rest != 0) {
        sum += rest * data[4 * words];
    }
    return ~sum;
}

}  // namespace brindle::export_image

#include "util/crc32.h"

#include <isa-l/crc.h>

namespace velka {

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
    if (size == 0) return crc;
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
}

std::string CrcText(uint32_t crc) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i) {
        text[static_cast<size_t>(i)] = kDigits[crc & 0xF];
        crc >>= 4;
    }
    return text;
}

}  // namespace velka

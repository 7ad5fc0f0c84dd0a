// Building environment blocks as the board stores them, for the sample image
// and the tests. Host-side only: never part of the programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace envimage {

// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, preset and final
// complement 0xFFFFFFFF.
inline uint32_t crc32(const std::string &bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Entries each followed by NUL, then the empty string, then fill bytes up
// to area_size. The caller keeps area_size large enough.
inline std::string data_area(const std::vector<std::string> &entries, size_t area_size,
                             char fill = '\0')
{
    std::string area;
    for (const std::string &entry : entries) {
        area += entry;
        area += '\0';
    }
    area += '\0';
    if (area.size() < area_size)
        area.append(area_size - area.size(), fill);
    return area;
}

enum class crc_word { correct, wrong, zero, ones };

// The CRC word, most significant byte first as on the board, then the area.
inline std::string block(const std::string &area, crc_word kind = crc_word::correct)
{
    uint32_t crc = crc32(area);
    switch (kind) {
    case crc_word::correct: break;
    case crc_word::wrong: crc ^= 0x00A5A500u; break;
    case crc_word::zero: crc = 0; break;
    case crc_word::ones: crc = 0xFFFFFFFFu; break;
    }
    std::string word;
    for (int shift = 24; shift >= 0; shift -= 8)
        word += static_cast<char>((crc >> shift) & 0xFF);
    return word + area;
}

}  // namespace envimage

// Locating and loading the environment block: a CRC word, then the data area.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cairnvar {

// Where the block lies. Filled from the command line before env_init runs;
// the loader only reads them.
extern const char *device;   // the option's own text, not a copy
extern int32_t dev_offset;   // -1 until set
extern int32_t env_size;     // whole block, CRC word included; 0 until set

struct env_block {
    uint32_t crc;  // as stored, in the processor's byte order; never checked
    char *data;    // copy of the data area, getenvsize() bytes
};
extern env_block environment;

// Size of the data area. Wider than the block size so that the most
// negative block size still gives the true figure on a 32-bit board.
long long getenvsize();

// 0 when the device can be stat'ed, else 1 (message printed).
int parse_config();

// Reads the CRC word and the data area into environment: 0, or -1 with the
// failing step's message printed and errno left as that step set it.
int flash_io(int flags);

// 0 when the block is loaded; 1 for a device that isn't there; otherwise the
// error number of the failing step, or 1 where that step set none.
int env_init();

}  // namespace cairnvar

// Numbers from the command line, read as strtol reads them and clamped to
// the signed 32-bit range whatever the width of long, so that a 64-bit host
// and the 32-bit board agree on every argument.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace cairnvar {

inline int32_t to_int32(const char *text, int base)
{
    const long value = strtol(text, nullptr, base);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace cairnvar

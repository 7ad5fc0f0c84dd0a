// Fuzz target: the option conversions against a reference written from the
// rules users rely on (blanks, a sign, an optional 0x in base 16, digits up
// to the first other character, clamping to the signed 32-bit range).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "convert.h"

namespace {

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

int64_t reference(const std::string &text, int base)
{
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    // "0x" counts as a prefix only when a hexadecimal digit follows it.
    if (base == 16 && at + 2 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
        digit_value(text[at + 2]) < 16)
        at += 2;
    int64_t value = 0;
    for (; at < text.size() && digit_value(text[at]) < base; ++at)
        value = std::min<int64_t>(value * base + digit_value(text[at]), int64_t(1) << 40);
    value = negative ? -value : value;
    return std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    std::string text(reinterpret_cast<const char *>(bytes), size);
    text = text.substr(0, text.find('\0'));  // an argument ends at its NUL
    for (int base : {10, 16})
        if (cairnvar::to_int32(text.c_str(), base) != reference(text, base))
            abort();
    return 0;
}

// make_sample_image ENTRIES OUT SIZE OFFSET
// Writes a flash image holding one environment block of SIZE bytes at
// OFFSET (hexadecimal), built from ENTRIES (one name=value a line), with
// erased flash (0xff) before and after it. The same input gives the same
// bytes every time.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "envimage.h"

int main(int argc, char **argv)
{
    if (argc != 5) {
        fputs("usage: make_sample_image ENTRIES OUT SIZE OFFSET\n", stderr);
        return 2;
    }
    FILE *in = fopen(argv[1], "r");
    if (in == nullptr) {
        perror(argv[1]);
        return 1;
    }
    std::vector<std::string> entries;
    size_t used = 1;
    char line[4096];
    while (fgets(line, sizeof line, in) != nullptr) {
        std::string entry(line);
        while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r'))
            entry.pop_back();
        if (entry.empty() || entry[0] == '#')
            continue;
        used += entry.size() + 1;
        entries.push_back(entry);
    }
    fclose(in);

    const size_t size = strtoul(argv[3], nullptr, 10);
    const size_t offset = strtoul(argv[4], nullptr, 16);
    if (size < 4 || used > size - 4) {
        fprintf(stderr, "make_sample_image: %zu bytes of entries do not fit a block of %zu\n",
                used, size);
        return 1;
    }
    const std::string erased(offset, '\xff');
    const std::string image =
        erased + envimage::block(envimage::data_area(entries, size - 4)) + std::string(4096, '\xff');

    FILE *out = fopen(argv[2], "wb");
    if (out == nullptr || fwrite(image.data(), 1, image.size(), out) != image.size() ||
        fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    return 0;
}

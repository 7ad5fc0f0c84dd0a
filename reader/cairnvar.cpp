// cairnvar: print the environment kept in a block of a flash device.
//
// Usage: cairnvar -n -d device -o offset -s envsize [variables]
//   -d  the flash partition, or any file holding the block
//   -o  byte offset of the block, hexadecimal
//   -s  size of the whole block in bytes, CRC word included, decimal
//   -n  print values alone
// With no variables every entry is listed; otherwise each one is looked up.
// The block is only ever read.

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "convert.h"
#include "env_load.h"
#include "env_walk.h"

namespace {

void usage() { puts("Usage: cairnvar -n -d device -o offset -s envsize [variables]"); }

}  // namespace

int main(int argc, char **argv)
{
    using namespace cairnvar;
    bool value_only = false;
    int opt;
    while ((opt = getopt(argc, argv, "nd:o:s:")) != -1) {
        switch (opt) {
        case 'n': value_only = true; break;
        case 'd': device = optarg; break;
        case 'o': dev_offset = to_int32(optarg, 16); break;
        case 's': env_size = to_int32(optarg, 10); break;
        default: usage(); return 1;
        }
    }
    if (device == nullptr || dev_offset < 0 || env_size == 0) {
        usage();
        return 1;
    }

    const int loaded = env_init();
    if (loaded != 0)
        return loaded;

    const auto size = static_cast<size_t>(getenvsize());
    if (optind == argc)
        return list_environment(environment.data, size, stdout, stderr);
    return look_up(environment.data, size, argv + optind, argc - optind, value_only, stdout,
                   stderr);
}

// Fuzz target: whatever a flash block holds goes through the real loader,
// then through the listing and the lookups, in-process. The data area is the
// loader's own allocation of exactly its size, so any read past it is caught
// by AddressSanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "env_load.h"
#include "env_walk.h"

namespace {

// A file that holds the block: a CRC word, then the input as the data area.
std::string write_block(const uint8_t *bytes, size_t size)
{
    static std::string path;
    if (path.empty()) {
        char pattern[] = "/tmp/cairnvar-fuzz-XXXXXX";
        const int fd = mkstemp(pattern);
        close(fd);
        path = pattern;
        atexit([] { unlink(path.c_str()); });
    }
    FILE *file = fopen(path.c_str(), "wb");
    fwrite("\xde\xad\xbe\xef", 1, 4, file);
    fwrite(bytes, 1, size, file);
    fclose(file);
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    static FILE *sink = fopen("/dev/null", "w");
    if (size > 1 << 20)
        return 0;
    static std::string device;
    device = write_block(bytes, size);
    cairnvar::device = device.c_str();
    cairnvar::dev_offset = 0;
    cairnvar::env_size = static_cast<int32_t>(size + 4);
    if (cairnvar::env_init() != 0)
        abort();  // a block that is all there must always load

    const char *data = cairnvar::environment.data;
    const auto area = static_cast<size_t>(cairnvar::getenvsize());
    cairnvar::list_environment(data, area, sink, sink);

    // Names that may or may not be there: fixed ones, and the input's own
    // first name, so that matches are found as well as missed.
    std::string own(reinterpret_cast<const char *>(bytes), strnlen(reinterpret_cast<const char *>(bytes), size));
    own = own.substr(0, own.find('='));
    std::string fixed[] = {"a", "", "a=x", own};
    char *names[] = {fixed[0].data(), fixed[1].data(), fixed[2].data(), fixed[3].data()};
    cairnvar::look_up(data, area, names, 4, false, sink, sink);
    cairnvar::look_up(data, area, names + 3, 1, true, sink, sink);

    free(cairnvar::environment.data);  // the program keeps it; the fuzzer must not pile them up
    cairnvar::environment.data = nullptr;
    return 0;
}

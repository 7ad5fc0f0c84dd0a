#include "env_load.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cairnvar {

const char *device = nullptr;
int32_t dev_offset = -1;
int32_t env_size = 0;
env_block environment = {0, nullptr};

long long getenvsize() { return static_cast<long long>(env_size) - 4; }

namespace {

// Prints one "<what> <device>: <error text>" line. errno survives the
// printing, so the caller's result is the failing call's own error number
// even if standard error itself is broken.
void report(const char *format)
{
    const int err = errno;
    fprintf(stderr, format, device, strerror(err));
    errno = err;
}

int failure_code() { return errno != 0 ? errno : 1; }

}  // namespace

int parse_config()
{
    struct stat info;
    if (stat(device, &info) != 0) {
        report("Cannot access MTD device %s: %s\n");
        return 1;
    }
    return 0;
}

int flash_io(int flags)
{
    const int fd = open(device, flags);
    if (fd < 0) {
        report("Can't open %s: %s\n");
        return -1;
    }
    if (lseek(fd, dev_offset, SEEK_SET) == -1) {
        report("seek error on %s: %s\n");
        return -1;
    }
    // A short read sets no error number; clearing it first makes the
    // result 1 rather than whatever an earlier call left behind.
    errno = 0;
    if (read(fd, &environment.crc, sizeof environment.crc) != sizeof environment.crc) {
        report("CRC read error on %s: %s\n");
        return -1;
    }
    const auto size = static_cast<size_t>(getenvsize());
    errno = 0;
    if (read(fd, environment.data, size) != static_cast<ssize_t>(size)) {
        report("Read error on %s: %s\n");
        return -1;
    }
    if (close(fd) != 0) {
        report("I/O error on %s: %s\n");
        return -1;
    }
    return 0;
}

int env_init()
{
    if (parse_config() != 0)
        return 1;

    const long long size = getenvsize();
    errno = 0;
    void *copy = nullptr;
    // A negative size is never handed to calloc. An empty data area (a
    // block of 4) still gets a real allocation, whatever calloc(0) does here.
    if (size >= 0 && static_cast<unsigned long long>(size) < SIZE_MAX)
        copy = calloc(size > 0 ? static_cast<size_t>(size) : 1, 1);
    if (copy == nullptr) {
        const int err = errno;
        fprintf(stderr, "Not enough memory for environment (%lld bytes)\n", size);
        return err != 0 ? err : 1;
    }
    environment.data = static_cast<char *>(copy);

    if (flash_io(O_RDONLY) != 0)
        return failure_code();
    return 0;
}

}  // namespace cairnvar

// cairnvar as a process: command line, loader messages and results, output
// and exit statuses, on image files built here.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "envimage.h"
#include "process.h"
#include "scratch.h"

using namespace std::string_literals;
using testsupport::run;
using testsupport::run_options;
using testsupport::run_result;

namespace {

const std::string usage_line = "Usage: cairnvar -n -d device -o offset -s envsize [variables]\n";

std::string text_of(int error) { return strerror(error); }

class Cairnvar : public testing::Test {
protected:
    run_result cairnvar(std::vector<std::string> args, const run_options &options = {})
    {
        args.insert(args.begin(), testsupport::program_path("CAIRNVAR"));
        return run(args, options);
    }

    // An image with a 64-byte block holding entries at offset 0.
    std::string image(const std::vector<std::string> &entries,
                      envimage::crc_word crc = envimage::crc_word::correct)
    {
        return dir.file("env.img", envimage::block(envimage::data_area(entries, 60), crc));
    }

    testsupport::scratch_dir dir;
};

TEST_F(Cairnvar, RefusesAnIncompleteOrBadCommandLine)
{
    const std::string img = image({"a=1"});
    const struct {
        std::vector<std::string> args;
        bool getopt_diagnostic;
    } cases[] = {
        {{}, false},
        {{"-d", img, "-s", "64"}, false},                 // no offset
        {{"-d", img, "-o", "0"}, false},                  // no size
        {{"-o", "0", "-s", "64"}, false},                 // no device
        {{"-d", img, "-o", "-1", "-s", "64"}, false},     // negative offset
        {{"-d", img, "-o", "0", "-s", "0"}, false},
        {{"-d", img, "-o", "0", "-s", "0x40"}, false},    // decimal: stops at the x
        {{"-d", img, "-o", "0", "-s", "64", "-x"}, true}, // unknown letter, all else present
        {{"-d", img, "-o", "0", "-s"}, true},             // option without its argument
    };
    for (const auto &c : cases) {
        const run_result got = cairnvar(c.args);
        const std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(got.status, 1) << shown;
        EXPECT_EQ(got.out, usage_line) << shown;
        EXPECT_EQ(!got.err.empty(), c.getopt_diagnostic) << shown << got.err;
    }
}

TEST_F(Cairnvar, ConvertsOffsetAndSizeAsDocumented)
{
    const std::string block = envimage::block(envimage::data_area({"k=v"}, 60));
    const std::string img = dir.file("padded.img", std::string(0x2000, '\xff') + block + std::string(100, 'j'));
    const std::string at_zero = dir.file("zero.img", block);
    const struct {
        std::vector<std::string> args;
    } cases[] = {
        {{"-d", img, "-o", "2000", "-s", "64"}},
        {{"-d", img, "-o", "0x2000", "-s", "64"}},
        {{"-d", img, "-o", "0X2000", "-s", "64"}},
        {{"-d", img, "-o", " +2000", "-s", "64"}},
        {{"-d", img, "-o", "2000g", "-s", "64abc"}},      // trailing text ignored
        {{"-d", img, "-o", "10", "-o", "2000", "-s", "9", "-s", "64"}},  // the last one counts
        {{"-d", at_zero, "-o", "zz", "-s", "64"}},        // no hex digit: offset 0
        {{"-d", "/nonexistent", "-d", at_zero, "-o", "0", "-s", "64"}},
    };
    for (const auto &c : cases) {
        const run_result got = cairnvar(c.args);
        const std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(got.status, 0) << shown << got.err;
        EXPECT_EQ(got.out, "k=v\n") << shown;
        EXPECT_EQ(got.err, "") << shown;
    }
}

TEST_F(Cairnvar, ClampsNumbersToTheSigned32BitRange)
{
    const std::string img = image({"a=1"});
    // An offset far beyond 32 bits becomes the largest offset, not a
    // truncated (possibly negative) one: the seek works, the CRC read finds nothing.
    run_result got = cairnvar({"-d", img, "-o", "ffffffffffff", "-s", "64"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err, "CRC read error on " + img + ": " + text_of(0) + "\n");

    // The most negative size, and one below it, give the same figure on any
    // width of long.
    for (const char *size : {"-2147483648", "-99999999999"}) {
        got = cairnvar({"-d", img, "-o", "0", "-s", size});
        EXPECT_EQ(got.status, 1) << size;
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err, "Not enough memory for environment (-2147483652 bytes)\n") << size;
    }
}

// Binds a unix socket at path: it exists for stat, but open refuses it.
int bind_socket(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Cairnvar, ReportsEachLoaderStepThatFails)
{
    const std::string block = envimage::block(envimage::data_area({"a=1"}, 60));
    const std::string img = dir.file("env.img", block);
    const std::string short_img = dir.file("short.img", block.substr(0, 30));
    const std::string socket_path = dir.path("sock");
    const int socket_fd = bind_socket(socket_path);
    ASSERT_GE(socket_fd, 0);
    const std::string folder = dir.path("");

    const struct {
        std::vector<std::string> args;
        std::string input;  // standard input, for the pipe case
        int status;
        std::string err;
    } cases[] = {
        {{"-d", "/no/such/device", "-o", "0", "-s", "64"}, "", 1,
         "Cannot access MTD device /no/such/device: " + text_of(ENOENT) + "\n"},
        {{"-d", "", "-o", "0", "-s", "64"}, "", 1,
         "Cannot access MTD device : " + text_of(ENOENT) + "\n"},
        {{"-d", socket_path, "-o", "0", "-s", "64"}, "", ENXIO,
         "Can't open " + socket_path + ": " + text_of(ENXIO) + "\n"},
        {{"-d", "/dev/stdin", "-o", "0", "-s", "64"}, "piped", ESPIPE,
         "seek error on /dev/stdin: " + text_of(ESPIPE) + "\n"},
        {{"-d", folder, "-o", "0", "-s", "64"}, "", EISDIR,
         "CRC read error on " + folder + ": " + text_of(EISDIR) + "\n"},
        {{"-d", img, "-o", "40", "-s", "64"}, "", 1,  // offset at the end of the file
         "CRC read error on " + img + ": " + text_of(0) + "\n"},
        {{"-d", img, "-o", "1000", "-s", "64"}, "", 1,  // and beyond it
         "CRC read error on " + img + ": " + text_of(0) + "\n"},
        {{"-d", short_img, "-o", "0", "-s", "64"}, "", 1,  // file ends inside the data area
         "Read error on " + short_img + ": " + text_of(0) + "\n"},
        {{"-d", img, "-o", "0", "-s", "1"}, "", 1, "Not enough memory for environment (-3 bytes)\n"},
        {{"-d", img, "-o", "0", "-s", "3"}, "", 1, "Not enough memory for environment (-1 bytes)\n"},
        {{"-d", img, "-o", "0", "-s", "-5"}, "", 1, "Not enough memory for environment (-9 bytes)\n"},
    };
    for (const auto &c : cases) {
        run_options options;
        options.input = c.input;
        const run_result got = cairnvar(c.args, options);
        const std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(got.status, c.status) << shown;
        EXPECT_EQ(got.out, "") << shown;
        EXPECT_EQ(got.err, c.err) << shown;
    }
    close(socket_fd);
}

TEST_F(Cairnvar, ListsEveryEntryWhateverTheCrcWord)
{
    for (auto crc : {envimage::crc_word::correct, envimage::crc_word::wrong,
                     envimage::crc_word::zero, envimage::crc_word::ones}) {
        const std::string img = image({"a=1", "b=2"}, crc);
        for (bool value_only : {false, true}) {
            std::vector<std::string> args = {"-d", img, "-o", "0", "-s", "64"};
            if (value_only)
                args.insert(args.begin(), "-n");
            const run_result got = cairnvar(args);
            EXPECT_EQ(got.status, 0);
            EXPECT_EQ(got.out, "a=1\nb=2\n");
            EXPECT_EQ(got.err, "");
        }
    }
}

TEST_F(Cairnvar, ReadsExactlyTheBlock)
{
    // Bytes before the offset and after the block have no say; an entry
    // that only the bytes after the block would terminate is unterminated.
    const std::string block = envimage::block("a=1\0b=2"s);
    const std::string img = dir.file("env.img", "x=before\0\0"s + std::string(6, '\0') + block + "\0\0"s);
    const run_result got = cairnvar({"-d", img, "-o", "10", "-s", std::to_string(block.size())});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "a=1\n");
    EXPECT_EQ(got.err, "## Error: environment not terminated\n");
}

TEST_F(Cairnvar, SmallestBlocks)
{
    const std::string five = dir.file("five.img", envimage::block("\0"s));
    run_result got = cairnvar({"-d", five, "-o", "0", "-s", "5"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "");

    // A block of just the CRC word loads with an empty data area: nothing
    // listed, every name undefined.
    const std::string four = dir.file("four.img", envimage::block(""));
    got = cairnvar({"-d", four, "-o", "0", "-s", "4"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out + got.err, "");
    got = cairnvar({"-d", four, "-o", "0", "-s", "4", "a"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err, "## Error: \"a\" not defined\n");

    // Complete entries that fill the area to its last byte end the sequence.
    const std::string full = dir.file("full.img", envimage::block("a=1\0bc=2\0"s));
    got = cairnvar({"-d", full, "-o", "0", "-s", "13"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "a=1\nbc=2\n");
    EXPECT_EQ(got.err, "");
}

TEST_F(Cairnvar, LooksUpNamesAndAlwaysExitsOne)
{
    const std::string img = image({"a=1", "b=", "c=x=y", "a=2"});
    const struct {
        std::vector<std::string> names;
        std::string out, err;
    } cases[] = {
        {{"a", "c"}, "a=1\nc=x=y\n", ""},
        {{"-n", "a", "b", "c"}, "1\n\nx=y\n", ""},
        {{"zz", "a", "yy"}, "a=1\n", "## Error: \"zz\" not defined\n## Error: \"yy\" not defined\n"},
        {{"a=q"}, "a=q=1\n", ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-d", img, "-o", "0", "-s", "64"};
        args.insert(args.end(), c.names.begin(), c.names.end());
        const run_result got = cairnvar(args);
        EXPECT_EQ(got.status, 1) << testing::PrintToString(c.names);
        EXPECT_EQ(got.out, c.out) << testing::PrintToString(c.names);
        EXPECT_EQ(got.err, c.err) << testing::PrintToString(c.names);
    }
}

TEST_F(Cairnvar, KeepsOutputAndErrorsInOrderInOneStream)
{
    const std::string block = envimage::block("a=1\0b=2\0runaway"s);
    const std::string img = dir.file("env.img", block);
    const std::string size = std::to_string(block.size());
    run_options merged;
    merged.merge_streams = true;

    run_result got = cairnvar({"-d", img, "-o", "0", "-s", size}, merged);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "a=1\nb=2\n## Error: environment not terminated\n");

    got = cairnvar({"-d", img, "-o", "0", "-s", size, "b", "zz", "a"}, merged);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "b=2\n## Error: environment not terminated\n");

    const std::string good = image({"a=1", "b=2"});
    got = cairnvar({"-d", good, "-o", "0", "-s", "64", "a", "nope", "b"}, merged);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "a=1\n## Error: \"nope\" not defined\nb=2\n");
}

TEST_F(Cairnvar, AListingThatCannotBeWrittenFails)
{
    const std::string img = image({"a=1", "b=2"});
    run_options to_full;
    to_full.stdout_path = "/dev/full";
    const run_result got = cairnvar({"-d", img, "-o", "0", "-s", "64"}, to_full);
    EXPECT_NE(got.status, 0);
    EXPECT_EQ(got.err, "Write error on standard output: " + text_of(ENOSPC) + "\n");
}

// Hostile blocks: whatever the flash holds, the reader prints what is
// there or reports it, and never crashes or reads past the block.
TEST_F(Cairnvar, CopesWithHostileBlocks)
{
    // Entries holding every byte value but NUL, in any order.
    std::vector<std::string> entries;
    std::string expected;
    for (int first = 1; first < 256; first += 51) {
        std::string entry = "k" + std::to_string(first) + "=";
        for (int value = first; value < 256; ++value)
            entry += static_cast<char>(value);
        for (int value = 1; value < first; ++value)
            entry += static_cast<char>(value);
        entries.push_back(entry);
        expected += entry + "\n";
    }
    std::string area = envimage::data_area(entries, 2000);
    std::string img = dir.file("bytes.img", envimage::block(area));
    run_result got = cairnvar({"-d", img, "-o", "0", "-s", "2004"});
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(got.out == expected) << "entries not printed byte for byte";

    // A block as large as the file, with no NUL anywhere in its data area.
    img = dir.file("no-nul.img", envimage::block(std::string(65536, 'x')));
    got = cairnvar({"-d", img, "-o", "0", "-s", "65540"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "## Error: environment not terminated\n");

    // Entries of megabytes.
    const std::string big(4 << 20, 'v');
    area = envimage::data_area({"big=" + big, "small=1"}, (4 << 20) + 64);
    img = dir.file("big.img", envimage::block(area));
    const std::string size = std::to_string(area.size() + 4);
    got = cairnvar({"-d", img, "-o", "0", "-s", size});
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(got.out == "big=" + big + "\nsmall=1\n");
    got = cairnvar({"-n", "-d", img, "-o", "0", "-s", size, "small", "big"});
    EXPECT_EQ(got.status, 1);
    EXPECT_TRUE(got.out == "1\n" + big + "\n");
    EXPECT_EQ(got.err, "");
}

TEST_F(Cairnvar, RefusesAbsurdSizesWithoutCrashing)
{
    const std::string img = image({"a=1"});
    // The largest size: either the copy cannot be had (a 32-bit board), or it
    // can and the file is far too short for it.
    const run_result got = cairnvar({"-d", img, "-o", "0", "-s", "2147483647"});
    const std::string no_memory = "Not enough memory for environment (2147483643 bytes)\n";
    const std::string short_read = "Read error on " + img + ": " + text_of(0) + "\n";
    if (got.err == no_memory) {
        EXPECT_EQ(got.status, ENOMEM);
    } else {
        EXPECT_EQ(got.err, short_read);
        EXPECT_EQ(got.status, 1);
    }
    EXPECT_EQ(got.out, "");
}

}  // namespace

// In-process tests of matching and walking, on data areas allocated at their
// exact size so that a read past the area shows up under a sanitizer.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "env_walk.h"

using cairnvar::envmatch;

namespace {

struct match_case {
    const char *name;
    const char *entry;
    const char *value;  // null: no match
};

TEST(Envmatch, MatchesOnTheNameBeforeItsFirstEquals)
{
    const match_case cases[] = {
        {"a", "a=1", "1"},
        {"a", "a=", ""},
        {"a", "a=b=c", "b=c"},
        {"ab", "abc=1", nullptr},   // name is a leading part of the stored name
        {"abc", "ab=1", nullptr},   // stored name is a leading part of the name
        {"a=x", "a=1", "1"},        // only the part before '=' counts
        {"a=", "a=1", "1"},
        {"", "=v", "v"},            // the empty name matches an entry beginning with '='
        {"", "a=1", nullptr},
        {"abc", "abc", nullptr},    // an entry without '=' defines nothing
        {"A", "a=1", nullptr},      // case counts
        {" a", "a=1", nullptr},     // nothing is trimmed
        {"a", "a =1", nullptr},
        {"\xff", "\xff=\x80", "\x80"},
    };
    for (const match_case &c : cases) {
        const char *value = envmatch(c.name, c.entry);
        if (c.value == nullptr) {
            EXPECT_EQ(value, nullptr) << c.name << " vs " << c.entry;
        } else {
            ASSERT_NE(value, nullptr) << c.name << " vs " << c.entry;
            EXPECT_STREQ(value, c.value) << c.name << " vs " << c.entry;
            // The value is a pointer into the entry itself.
            EXPECT_GE(value, c.entry);
        }
    }
}

// The data area as an exact-size heap block.
std::unique_ptr<char[]> area_of(const std::string &bytes)
{
    std::unique_ptr<char[]> area(new char[bytes.size() ? bytes.size() : 1]);
    bytes.copy(area.get(), bytes.size());
    return area;
}

std::string drain(FILE *stream)
{
    fflush(stream);
    rewind(stream);
    std::string text;
    for (int c; (c = getc(stream)) != EOF;)
        text += static_cast<char>(c);
    fclose(stream);
    return text;
}

struct walk_output {
    int status;
    std::string out, err;
};

walk_output list(const std::string &bytes)
{
    auto area = area_of(bytes);
    FILE *out = tmpfile(), *err = tmpfile();
    const int status = cairnvar::list_environment(area.get(), bytes.size(), out, err);
    return {status, drain(out), drain(err)};
}

walk_output look_up(const std::string &bytes, std::vector<std::string> names, bool value_only)
{
    auto area = area_of(bytes);
    std::vector<char *> argv;
    for (std::string &name : names)
        argv.push_back(name.data());
    FILE *out = tmpfile(), *err = tmpfile();
    const int status = cairnvar::look_up(area.get(), bytes.size(), argv.data(),
                                         static_cast<int>(argv.size()), value_only, out, err);
    return {status, drain(out), drain(err)};
}

const std::string unterminated = "## Error: environment not terminated\n";

TEST(Listing, WalksEntriesUpToTheEmptyString)
{
    using namespace std::string_literals;
    const struct {
        std::string area;
        int status;
        std::string out, err;
    } cases[] = {
        {"a=1\0b=2\0\0"s, 0, "a=1\nb=2\n", ""},
        {"a=1\0\0junk=ignored\0\0"s, 0, "a=1\n", ""},            // bytes after the end are never looked at
        {"\0a=1\0\0"s, 0, "", ""},                               // empty sequence
        {"plain\0x=\0\0"s, 0, "plain\nx=\n", ""},                // entries without '=' are listed too
        {"a=1\0b=2\0"s, 0, "a=1\nb=2\n", ""},                    // complete entries fill the area
        {""s, 0, "", ""},                                        // empty area
        {"a=1\0b=2"s, 1, "a=1\n", unterminated},                 // last entry runs off the end
        {"no nul at all"s, 1, "", unterminated},
        {"\x01\x7f\x80\xff=\xfe\0\0"s, 0, "\x01\x7f\x80\xff=\xfe\n", ""},
    };
    for (const auto &c : cases) {
        const walk_output got = list(c.area);
        EXPECT_EQ(got.status, c.status) << testing::PrintToString(c.area);
        EXPECT_EQ(got.out, c.out) << testing::PrintToString(c.area);
        EXPECT_EQ(got.err, c.err) << testing::PrintToString(c.area);
    }
}

TEST(Lookup, PrintsNamesInOrderAndReportsMissingOnes)
{
    using namespace std::string_literals;
    const std::string area = "a=1\0b=\0c=x=y\0a=second\0=empty\0bare\0\0"s;
    const struct {
        std::vector<std::string> names;
        bool value_only;
        std::string out, err;
    } cases[] = {
        {{"a"}, false, "a=1\n", ""},                 // first of two definitions
        {{"a"}, true, "1\n", ""},
        {{"b"}, false, "b=\n", ""},
        {{"b"}, true, "\n", ""},
        {{"c"}, false, "c=x=y\n", ""},
        {{"a=zz"}, false, "a=zz=1\n", ""},           // the whole name is printed
        {{"a=zz"}, true, "1\n", ""},
        {{""}, false, "=empty\n", ""},
        {{"bare"}, false, "", "## Error: \"bare\" not defined\n"},
        {{"c", "nope", "a", "a"}, false, "c=x=y\na=1\na=1\n", "## Error: \"nope\" not defined\n"},
    };
    for (const auto &c : cases) {
        const walk_output got = look_up(area, c.names, c.value_only);
        EXPECT_EQ(got.status, 1);
        EXPECT_EQ(got.out, c.out) << testing::PrintToString(c.names);
        EXPECT_EQ(got.err, c.err) << testing::PrintToString(c.names);
    }
}

TEST(Lookup, UnterminatedEntryEndsEveryLaterLookup)
{
    using namespace std::string_literals;
    const std::string area = "a=1\0b=2\0tail-without-nul"s;
    // 'a' lies before the bad entry and is found; 'zz' has to walk past it,
    // which ends the run: 'b' is never looked up and 'zz' gets no message.
    const walk_output got = look_up(area, {"a", "zz", "b"}, false);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "a=1\n");
    EXPECT_EQ(got.err, unterminated);

    const walk_output empty = look_up("", {"a"}, false);
    EXPECT_EQ(empty.err, "## Error: \"a\" not defined\n");
}

}  // namespace

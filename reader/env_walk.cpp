#include "env_walk.h"

#include <cerrno>
#include <cstring>

namespace cairnvar {

const char *envmatch(const char *name, const char *entry)
{
    for (; *name == *entry; ++name, ++entry) {
        if (*name == '=')
            return entry + 1;
        if (*name == '\0')
            return nullptr;  // the whole entry is the name: no definition
    }
    return *name == '\0' && *entry == '=' ? entry + 1 : nullptr;
}

walk_step next_entry(const char *pos, const char *end, const char **entry_end)
{
    // An area used up by complete entries ends the sequence as an empty
    // string would: nothing in it is malformed, it only lacks the filler.
    if (pos >= end || *pos == '\0')
        return walk_step::end;
    const void *nul = memchr(pos, '\0', static_cast<size_t>(end - pos));
    if (nul == nullptr)
        return walk_step::unterminated;
    *entry_end = static_cast<const char *>(nul);
    return walk_step::entry;
}

namespace {

// Whatever reached standard output goes ahead of the message, so that a log
// holding both streams reads in the order things happened.
void report_unterminated(FILE *out, FILE *err)
{
    fflush(out);
    fputs("## Error: environment not terminated\n", err);
}

}  // namespace

// Listing lines gathered into blocks: one stdio call per entry costs more
// than copying the entry.
class line_batch {
public:
    explicit line_batch(FILE *out) : out_(out) {}
    void add(const char *text, size_t length)
    {
        if (length + 1 > sizeof lines_ - used_)
            flush();
        if (length + 1 > sizeof lines_) {
            fwrite(text, 1, length, out_);
            putc('\n', out_);
            return;
        }
        memcpy(lines_ + used_, text, length);
        lines_[used_ + length] = '\n';
        used_ += length + 1;
    }
    void flush()
    {
        fwrite(lines_, 1, used_, out_);
        used_ = 0;
    }

private:
    FILE *out_;
    char lines_[8192];
    size_t used_ = 0;
};

int list_environment(const char *data, size_t size, FILE *out, FILE *err)
{
    const char *const end = data + size;
    const char *entry_end = nullptr;
    line_batch lines(out);
    walk_step step;
    for (const char *pos = data; (step = next_entry(pos, end, &entry_end)) == walk_step::entry;
         pos = entry_end + 1)
        lines.add(pos, static_cast<size_t>(entry_end - pos));
    // Every entry ahead of a bad one is out before the message about it.
    lines.flush();
    if (step == walk_step::unterminated) {
        report_unterminated(out, err);
        return 1;
    }
    // A listing that never reached its reader must not pass for a complete one.
    if (fflush(out) != 0 || ferror(out)) {
        fprintf(err, "Write error on standard output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

int look_up(const char *data, size_t size, char *const names[], int count,
            bool value_only, FILE *out, FILE *err)
{
    const char *const end = data + size;
    for (int i = 0; i < count; ++i) {
        const char *name = names[i];
        const char *value = nullptr;
        const char *entry_end = nullptr;
        walk_step step;
        for (const char *pos = data;
             (step = next_entry(pos, end, &entry_end)) == walk_step::entry; pos = entry_end + 1) {
            if ((value = envmatch(name, pos)) != nullptr)
                break;
        }
        if (step == walk_step::unterminated) {
            report_unterminated(out, err);
            return 1;
        }
        if (value == nullptr) {
            fflush(out);
            fprintf(err, "## Error: \"%s\" not defined\n", name);
            continue;
        }
        if (!value_only) {
            fputs(name, out);
            putc('=', out);
        }
        fputs(value, out);
        putc('\n', out);
    }
    return 1;
}

}  // namespace cairnvar

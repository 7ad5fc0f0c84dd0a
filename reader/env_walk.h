// Walking the entries of a loaded data area: listing, lookups, matching.
#pragma once

#include <cstddef>
#include <cstdio>

namespace cairnvar {

// The value of entry when it defines name (the part of name before its
// first '='), else null. Never reads past either string's NUL.
const char *envmatch(const char *name, const char *entry);

enum class walk_step {
    entry,         // an entry ends at *entry_end, inside the area
    end,           // the sequence ended: an empty string, or the area is used up
    unterminated,  // an entry runs to the end of the area without its NUL
};

// Looks at the entry starting at pos, never reading at or beyond end.
walk_step next_entry(const char *pos, const char *end, const char **entry_end);

// Prints every entry, one a line. 0 when all were listed and written out;
// 1 for an unterminated entry or output that could not be written.
int list_environment(const char *data, size_t size, FILE *out, FILE *err);

// Prints name=value (or the value alone) for each name, in order; a name no
// entry defines gets its own message. Always 1, as scripts expect of lookups.
int look_up(const char *data, size_t size, char *const names[], int count,
            bool value_only, FILE *out, FILE *err);

}  // namespace cairnvar

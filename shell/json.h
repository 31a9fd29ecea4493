// JSON output of the console: strings escaped so that any server text stays valid JSON, and
// the store that keeps a search's lines until its object is written.
#pragma once

#include <cstddef>
#include <cstdio>

namespace brennic {

// Writes text as a JSON string, quotes included. Quote, backslash and every control byte are
// escaped, DEL too; well-formed UTF-8 passes as it is, and a byte that is not part of a
// well-formed sequence is written as \u00XX with its value, so nothing is dropped.
void json_string(std::FILE *out, const char *text);

// The lines one search printed, kept one after the other, each with its terminator. What
// passes kJsonLinesMax bytes is not kept but counted.
struct line_store {
    char *data = nullptr;
    std::size_t used = 0;
    std::size_t capacity = 0;
    long count = 0;   // lines kept
    long dropped = 0; // lines past the limit
};

void store_line(line_store &store, const char *line);
void release_lines(line_store &store);

// Writes the stored lines as the elements of a JSON array, brackets included.
void json_lines(std::FILE *out, const line_store &store);

} // namespace brennic

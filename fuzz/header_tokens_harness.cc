// The header-line tokenizer with fuzzed line, delimiters and array capacity. The line and
// the token array are sized exactly, so any write or read past them is caught.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "fuzz/support.h"
#include "net/extra/utilities.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kTarget = "header_tokens";
constexpr int kReserve = 5;

// Runs of characters outside the delimiter set: the token count of a line without quotes
// when the array is large enough.
int count_runs(const std::string &line, const std::string &delimiters) {
    int runs = 0;
    bool inside = false;
    for (char c : line) {
        const bool delimiter = delimiters.find(c) != std::string::npos;
        if (!delimiter && !inside) ++runs;
        inside = !delimiter;
    }
    return runs;
}

} // namespace

int header_tokens_one(const std::uint8_t *data, std::size_t size) {
    byte_source in(data, size);
    const int capacity = in.take_byte() & 63;
    const std::string delimiters = as_text(in.take(in.take_byte() & 7));
    const std::string line = as_text(in.take_rest());

    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    const std::size_t slots = static_cast<std::size_t>(capacity);
    // Exactly capacity slots (none at all for 0), each not null to begin with.
    std::unique_ptr<char *[]> tokens(new char *[slots]);
    for (std::size_t i = 0; i < slots; ++i)
        tokens[i] = buffer.data();

    const int n = split_header_line(buffer.data(), tokens.get(), delimiters.c_str(), capacity);

    expect(n >= 0, kTarget, "count not negative");
    if (slots == 0) {
        expect(n == 0, kTarget, "no token without capacity");
        return 0;
    }
    expect(n < capacity, kTarget, "room for the null after the tokens");
    if (capacity >= kReserve + 1)
        expect(n <= capacity - kReserve, kTarget, "at most capacity - 5 tokens");
    expect(tokens[static_cast<std::size_t>(n)] == nullptr, kTarget, "null after the last token");

    const char *begin = buffer.data();
    const char *end = buffer.data() + buffer.size(); // one past the terminator
    const char *after_previous = begin;
    for (int i = 0; i < n; ++i) {
        const char *t = tokens[static_cast<std::size_t>(i)];
        expect(t >= after_previous && t < end, kTarget, "tokens lie in the line, in order");
        const std::size_t length = std::strlen(t);
        expect(t + length < end, kTarget, "each token is terminated inside the line");
        after_previous = t + length + 1;
    }

    // Without quotes and with room to spare, every run of non-delimiters is one token, and
    // the tokens are exactly those runs.
    if (line.find('"') == std::string::npos &&
        count_runs(line, delimiters) + kReserve + 1 < capacity) {
        expect(n == count_runs(line, delimiters), kTarget, "one token per run of non-delimiters");
        for (int i = 0; i < n; ++i) {
            const char *t = tokens[static_cast<std::size_t>(i)];
            expect(*t != '\0', kTarget, "unquoted tokens are not empty");
            expect(std::strpbrk(t, delimiters.c_str()) == nullptr, kTarget,
                   "unquoted tokens hold no delimiter");
        }
    }
    return 0;
}

} // namespace brennic::fuzz

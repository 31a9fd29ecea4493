// The test server's user directory: an in-memory table loaded from a users file, and the
// answer to one request text as a list of reply texts (without ids or line ends).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brennic::testserver {

// Reply texts of one request. Slots and their storage are reused from one request to the
// next, so answering allocates nothing once the list has warmed up.
class reply_list {
  public:
    void clear() { count_ = 0; }
    // Appends a + b, then a space and c when c is not empty.
    void add(std::string_view a, std::string_view b = {}, std::string_view c = {});
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const std::string &operator[](std::size_t i) const { return lines_[i]; }
    // A copy of the texts, for tests.
    std::vector<std::string> to_vector() const {
        return std::vector<std::string>(lines_.begin(), lines_.begin() + static_cast<long>(count_));
    }

  private:
    std::vector<std::string> lines_;
    std::size_t count_ = 0;
};

struct user_record {
    std::string password;
    bool has_password = false; // false for a user created with the password "(NULL)"
    std::string attrs;         // attribute text, tokens separated by single spaces
};

class directory {
  public:
    // Reads "name password attribute text..." lines; blank lines and lines starting with
    // '#' are skipped. Returns false with a message in error when the file cannot be read.
    bool load_file(const std::string &path, std::string &error);
    // Same, from text already in memory.
    void load_text(std::string_view text);

    // Answers one request text. replies receives zero or more "+DATA ..." texts and then
    // exactly one final text; it is cleared first.
    void answer(std::string_view request, reply_list &replies);

    std::size_t size() const { return users_.size(); }
    const user_record *find(const std::string &name) const;

  private:
    void add_line(std::string_view line);
    void do_check(std::string_view user, std::string_view pass, reply_list &out);
    void do_lookup(std::string_view user, reply_list &out);
    void do_set(std::string_view user, std::string_view pass, std::string_view attrs, bool create,
                reply_list &out);
    void do_del(std::string_view user, reply_list &out);
    void do_search(std::string_view what, reply_list &out);

    std::map<std::string, user_record, std::less<>> users_;
};

// Merges "key=value" tokens of update into attrs: a token whose key is already present
// replaces it in place, any other token is appended. Tokens without '=' are keyed by the
// whole token.
std::string merge_attrs(std::string_view attrs, std::string_view update);

// ASCII case-insensitive substring test; an empty needle is found everywhere.
bool contains_nocase(std::string_view hay, std::string_view needle);

} // namespace brennic::testserver

#include "tools/testserver/directory.h"

#include <cstdio>

namespace brennic::testserver {

namespace {

constexpr std::string_view kNullPassword = "(NULL)";

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Cuts the next field off text: everything up to the next single space, which is
// consumed. An empty field stays in place, so "a  b" yields "a", "" and "b".
std::string_view next_field(std::string_view &text) {
    std::size_t sp = text.find(' ');
    std::string_view field = text.substr(0, sp);
    text = (sp == std::string_view::npos) ? std::string_view{} : text.substr(sp + 1);
    return field;
}

std::string_view key_of(std::string_view token) { return token.substr(0, token.find('=')); }

template <typename Fn> void for_each_token(std::string_view text, Fn fn) {
    while (!text.empty()) {
        std::size_t sp = text.find(' ');
        std::string_view token = text.substr(0, sp);
        if (!token.empty()) fn(token);
        if (sp == std::string_view::npos) break;
        text.remove_prefix(sp + 1);
    }
}

} // namespace

void reply_list::add(std::string_view a, std::string_view b, std::string_view c) {
    if (count_ == lines_.size()) lines_.emplace_back();
    std::string &s = lines_[count_++];
    s.assign(a);
    s.append(b);
    if (!c.empty()) {
        s.push_back(' ');
        s.append(c);
    }
}

bool contains_nocase(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > hay.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        if (equal_nocase(hay.substr(i, needle.size()), needle)) return true;
    }
    return false;
}

std::string merge_attrs(std::string_view attrs, std::string_view update) {
    std::vector<std::string> tokens;
    for_each_token(attrs, [&](std::string_view t) { tokens.emplace_back(t); });
    for_each_token(update, [&](std::string_view t) {
        for (auto &existing : tokens) {
            if (key_of(existing) == key_of(t)) {
                existing.assign(t);
                return;
            }
        }
        tokens.emplace_back(t);
    });
    std::string out;
    for (const auto &t : tokens) {
        if (!out.empty()) out.push_back(' ');
        out += t;
    }
    return out;
}

bool directory::load_file(const std::string &path, std::string &error) {
    // Read with stdio so that a read error (a directory, say) is told apart from an empty
    // file; a pipe or another special file that reads is fine.
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        error = "cannot open users file (" + path + ")";
        return false;
    }
    std::string all;
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        all.append(chunk, got);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        error = "cannot read users file (" + path + ")";
        return false;
    }
    load_text(all);
    return true;
}

void directory::load_text(std::string_view text) {
    while (!text.empty()) {
        std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        add_line(line);
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
}

void directory::add_line(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    if (line.empty() || line.front() == '#') return;
    std::string_view name = next_field(line);
    std::string_view pass = next_field(line);
    user_record rec;
    rec.has_password = !pass.empty() && pass != kNullPassword;
    if (rec.has_password) rec.password.assign(pass);
    rec.attrs.assign(line);
    users_.insert_or_assign(std::string(name), std::move(rec));
}

const user_record *directory::find(const std::string &name) const {
    auto it = users_.find(name);
    return it == users_.end() ? nullptr : &it->second;
}

void directory::answer(std::string_view request, reply_list &replies) {
    replies.clear();
    std::string_view rest = request;
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    std::string_view word = next_field(rest);
    if (equal_nocase(word, "search")) {
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        do_search(rest, replies);
        return;
    }
    std::string_view user = next_field(rest);
    if (equal_nocase(word, "check")) {
        do_check(user, next_field(rest), replies);
    } else if (equal_nocase(word, "lookup")) {
        do_lookup(user, replies);
    } else if (equal_nocase(word, "set") || equal_nocase(word, "mod")) {
        std::string_view pass = next_field(rest);
        do_set(user, pass, rest, equal_nocase(word, "set"), replies);
    } else if (equal_nocase(word, "del")) {
        do_del(user, replies);
    } else {
        replies.add("-ERR ", word, "unknown request");
    }
}

void directory::do_check(std::string_view user, std::string_view pass, reply_list &out) {
    auto it = users_.find(user);
    if (it == users_.end()) {
        out.add("-ERR ", user, "no such user");
    } else if (it->second.has_password && it->second.password == pass) {
        out.add("+OK ", user, "password accepted");
    } else {
        out.add("-ERR ", user, "password rejected");
    }
}

void directory::do_lookup(std::string_view user, reply_list &out) {
    auto it = users_.find(user);
    if (it == users_.end()) {
        out.add("-ERR ", user, "no such user");
        return;
    }
    for_each_token(it->second.attrs, [&](std::string_view t) { out.add("+DATA ", user, t); });
    out.add("+OK ", user, it->second.attrs);
}

void directory::do_set(std::string_view user, std::string_view pass, std::string_view attrs,
                       bool create, reply_list &out) {
    if (user.empty()) {
        out.add("-ERR (none) user name missing");
        return;
    }
    auto it = users_.find(user);
    if (!create) {
        if (it == users_.end()) {
            out.add("-ERR ", user, "no such user");
            return;
        }
        if (!pass.empty() && pass != kNullPassword) {
            it->second.password.assign(pass);
            it->second.has_password = true;
        }
        it->second.attrs = merge_attrs(it->second.attrs, attrs);
        out.add("+OK ", user, "modified");
        return;
    }
    const bool existed = it != users_.end();
    user_record rec;
    if (pass.empty() || pass == kNullPassword) {
        // No password given: a user keeps the one it has, a new user has none.
        if (existed) rec = it->second;
    } else {
        rec.password.assign(pass);
        rec.has_password = true;
    }
    rec.attrs = merge_attrs({}, attrs);
    users_.insert_or_assign(std::string(user), std::move(rec));
    out.add("+OK ", user, existed ? "replaced" : "created");
}

void directory::do_del(std::string_view user, reply_list &out) {
    auto it = users_.find(user);
    if (it == users_.end()) {
        out.add("-ERR ", user, "no such user");
        return;
    }
    users_.erase(it);
    out.add("+OK ", user, "deleted");
}

void directory::do_search(std::string_view what, reply_list &out) {
    int found = 0;
    for (const auto &[name, rec] : users_) {
        if (contains_nocase(name, what) || contains_nocase(rec.attrs, what)) {
            out.add("+DATA ", name, rec.attrs);
            ++found;
        }
    }
    char tail[48];
    std::snprintf(tail, sizeof tail, "+OK search %d found", found);
    out.add(tail);
}

} // namespace brennic::testserver

#include "tests/support/json_lines.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace brennic::test {
namespace {

// Reads bytes from the file named first, checks every line, and prints each object as
// tab-separated key=value pairs, or "ERROR ..." on the first fault.
constexpr char kParser[] = R"(
import json, sys
data = open(sys.argv[1], 'rb').read()
try:
    text = data.decode('utf-8', 'strict')
    for line in text.split('\n')[:-1]:
        obj = json.loads(line)
        if not isinstance(obj, dict): raise ValueError('not an object: ' + line)
        print('\t'.join(k + '=' + json.dumps(v, ensure_ascii=True) for k, v in obj.items()))
    if not text.endswith('\n'): raise ValueError('last line without LF')
except Exception as e:
    print('ERROR ' + str(e)[:300])
)";

} // namespace

json_parse parse_json_lines(const std::string &text) {
    json_parse result;
    char path[] = "/tmp/brennic-json-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        result.error = "no temporary file";
        return result;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    std::string command = "python3 -c \"$BRENNIC_JSON_PARSER\" ";
    command += path;
    setenv("BRENNIC_JSON_PARSER", kParser, 1);
    std::string out;
    if (std::FILE *p = written ? popen(command.c_str(), "r") : nullptr) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    unlink(path);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ERROR ", 0) == 0) {
            result.error = line;
            return result;
        }
        json_object obj;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) {
            const std::size_t eq = field.find('=');
            obj[field.substr(0, eq)] = field.substr(eq + 1);
        }
        result.objects.push_back(obj);
    }
    result.ok = true;
    return result;
}

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

} // namespace brennic::test

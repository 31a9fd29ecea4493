#include "tests/support/json_lines.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
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

// Writes text to a fresh file in the temporary folder; its path, or "" when it failed.
std::string temp_file(const char *stem, const std::string &text) {
    static std::mt19937_64 names{std::random_device{}()};
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(error);
    if (error) return "";
    const std::string path = (dir / (stem + std::to_string(names()))).string();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return "";
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) == 0 && written) return path;
    std::remove(path.c_str());
    return "";
}

} // namespace

json_parse parse_json_lines(const std::string &text) {
    json_parse result;
    const std::string script = temp_file("brennic-json-parser-", kParser);
    const std::string path = temp_file("brennic-json-", text);
    std::string out;
    if (!kJsonCheckerRuns) {
        result.error = "no JSON checker on this platform";
    } else if (!script.empty() && !path.empty()) {
        const std::string command = "python3 " + script + " " + path;
        // A checker that did not run, or ended in failure, is an error: no objects is not a
        // pass.
        result.error = "python3 did not run";
        if (std::FILE *p = popen(command.c_str(), "r")) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
                out.append(buf, n);
            if (pclose(p) == 0) result.error.clear();
        }
    } else {
        result.error = "no temporary file";
    }
    if (!script.empty()) std::remove(script.c_str());
    if (!path.empty()) std::remove(path.c_str());
    if (!result.error.empty()) return result;
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

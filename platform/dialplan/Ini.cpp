#include "platform/dialplan/Ini.h"

#include <fstream>
#include <sstream>

namespace dialplan {

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ToInt(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    size_t start = text[0] == '-' ? 1 : 0;
    if (start == text.size())
        return false;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    value = std::stoi(text);
    return true;
}

std::vector<std::string> Words(const std::string& text, size_t max)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (words.size() + 1 < max && in >> w)
        words.push_back(w);
    std::string rest;
    std::getline(in, rest);
    rest = Trim(rest);
    if (!rest.empty())
        words.push_back(rest);
    return words;
}

bool ReadIni(const std::string& text, const GroupOpen& open, const GroupEntry& entry, std::string& error)
{
    std::istringstream in(text);
    std::string raw, group;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        // "[ ()-] = ..." is a rewrite rule, not a group: group names carry no "=".
        if (line.front() == '[' && line.find('=') == std::string::npos) {
            if (line.back() != ']')
                return fail("a group name needs its closing bracket");
            group = Trim(line.substr(1, line.size() - 2));
            std::string why;
            if (!open(group, why))
                return fail(why.empty() ? "unknown group [" + group + "]" : why);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected key = value");
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key.empty())
            return fail("empty key");
        if (group.empty())
            return fail("a key outside any group");
        std::string why;
        if (!entry(group, key, value, why))
            return fail(why);
    }
    return true;
}

bool ReadTextFile(const std::string& path, std::string& text, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

} // namespace dialplan

#include "media/encode/TFFmpeg.h"

#include "media/encode/options/FFOptionsValues.h"

#include <algorithm>
#include <cctype>

namespace {
bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}
} // namespace

std::vector<std::pair<std::string, std::string>> SplitOptionString(const std::string& text) {
    std::string s = ffopt::Trim(text);
    // Every kind of line break becomes LF, then the literal marker, which lets a multi-line
    // text travel inside one line of a configuration.
    std::string unified;
    unified.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            unified += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n')
                ++i;
        } else {
            unified += s[i];
        }
    }
    static const std::string marker = "<CRLF>";
    for (size_t pos = unified.find(marker); pos != std::string::npos;
         pos = unified.find(marker, pos + 1))
        unified.replace(pos, marker.size(), "\n");

    std::vector<std::pair<std::string, std::string>> lines;
    size_t start = 0;
    while (start < unified.size()) {
        size_t end = unified.find('\n', start);
        if (end == std::string::npos)
            end = unified.size();
        const std::string line = unified.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            lines.emplace_back(ffopt::Lower(line), std::string());
        else
            lines.emplace_back(ffopt::Lower(line.substr(0, eq)), line.substr(eq + 1));
    }
    return lines;
}

void TFFmpeg::ApplyOptionString(const std::string& text, bool withCodecs) {
    for (const auto& [name, value] : SplitOptionString(text)) {
        // The component applies these itself, in its own order around the output file.
        if (IsOneOf(name, {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre",
                           "vfilters", "vf"}))
            continue;
        if (!withCodecs && IsOneOf(name, {"acodec", "vcodec", "scodec", "s"}))
            continue;
        SetOption(name, value);
    }
}

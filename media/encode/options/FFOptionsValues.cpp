#include "media/encode/options/FFOptionsValues.h"

#include "media/encode/FFmpegException.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace ffopt {
std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool SameText(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

bool ParseBool(const std::string& value) {
    return value != "0";
}

namespace {
template <class T> T ParseIntegral(const std::string& value) {
    const std::string t = Trim(value);
    const char* first = t.data();
    const char* last = t.data() + t.size();
    if (first != last && *first == '+')
        ++first;
    T result{};
    const auto [end, ec] = std::from_chars(first, last, result, 10);
    if (t.empty() || ec != std::errc() || end != last)
        throw std::invalid_argument("'" + value + "' is not a valid integer value");
    return result;
}
} // namespace

int ParseInt(const std::string& value) {
    return ParseIntegral<int>(value);
}

int64_t ParseInt64(const std::string& value) {
    return ParseIntegral<int64_t>(value);
}

double ParseFloat(const std::string& value) {
    const std::string t = Trim(value);
    const char* first = t.data();
    const char* last = t.data() + t.size();
    if (first != last && *first == '+')
        ++first;
    double result = 0;
    // from_chars ignores the locale, so "0.5" means the same on every desktop.
    const auto [end, ec] = std::from_chars(first, last, result);
    if (t.empty() || ec != std::errc() || end != last)
        throw std::invalid_argument("'" + value + "' is not a valid floating point value");
    return result;
}

uint32_t CodecTag(const std::string& value) {
    uint32_t tag = 0;
    for (size_t i = 0; i < 4 && i < value.size(); ++i)
        tag |= uint32_t(static_cast<unsigned char>(value[i])) << (8 * i);
    return tag;
}

long ParseCLong(const std::string& text, size_t& pos) {
    if (pos >= text.size())
        return 0;
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    const long v = std::strtol(start, &end, 0);
    pos += size_t(end - start);
    return v;
}

std::vector<uint16_t> ParseMatrix(const std::string& text) {
    std::vector<uint16_t> coeffs(64, 0);
    size_t p = 0;
    for (int i = 0;; ++i) {
        coeffs[i] = uint16_t(std::atoi(text.c_str() + p));
        if (i == 63)
            break;
        const size_t comma = text.find(',', p);
        if (comma == std::string::npos)
            throw FFmpegException::Format("Syntax error in matrix \"%s\" at coeff %d", text.c_str(),
                                          i);
        p = comma + 1;
    }
    return coeffs;
}
} // namespace ffopt

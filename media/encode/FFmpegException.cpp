#include "media/encode/FFmpegException.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

FFmpegException FFmpegException::Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::vector<char> text(size > 0 ? size + 1 : 1, '\0');
    if (size > 0)
        std::vsnprintf(text.data(), text.size(), fmt, args);
    va_end(args);
    return FFmpegException(std::string(text.data()));
}

#pragma once
// The engine's exception: a rejected option or a failed step of a task. The encoder component
// catches it and turns its message into the task's error text; nothing of the engine lets it
// escape into a library callback.

#include <stdexcept>
#include <string>

class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
    // printf-style message, as the command-line transcoder words its failures.
    static FFmpegException Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
};

#include "cli/CliProgress.h"

#include <algorithm>
#include <cerrno>
#include <string>

TCliProgress::TCliProgress(FILE* stream, bool interactive)
    : FStream(stream), FInteractive(interactive) {}

void TCliProgress::Update(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == FLast || FGone)
        return;
    FLast = percent;
    errno = 0;
    if (FInteractive) {
        constexpr int width = 40;
        const int filled = percent * width / 100;
        const std::string bar = std::string(filled, '#') + std::string(width - filled, ' ');
        std::fprintf(FStream, "\r[%s] %3d%%", bar.c_str(), percent);
    } else {
        std::fprintf(FStream, "%d%%\n", percent);
    }
    if (std::fflush(FStream) != 0 || std::ferror(FStream)) {
        // A stop signal may interrupt a write to a full pipe; that reader is still there.
        if (errno != EINTR && errno != EAGAIN)
            FGone = true;
        std::clearerr(FStream);
    }
}

void TCliProgress::Finish() {
    if (FInteractive && FLast >= 0 && !FGone) {
        std::fputc('\n', FStream);
        std::fflush(FStream);
    }
    FLast = -1;
}

#include "cli/CliProgress.h"

#include <algorithm>
#include <string>

TCliProgress::TCliProgress(FILE* stream, bool interactive)
    : FStream(stream), FInteractive(interactive) {}

void TCliProgress::Update(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == FLast)
        return;
    FLast = percent;
    if (FInteractive) {
        constexpr int width = 40;
        const int filled = percent * width / 100;
        const std::string bar = std::string(filled, '#') + std::string(width - filled, ' ');
        std::fprintf(FStream, "\r[%s] %3d%%", bar.c_str(), percent);
    } else {
        std::fprintf(FStream, "%d%%\n", percent);
    }
    std::fflush(FStream);
}

void TCliProgress::Finish() {
    if (FInteractive && FLast >= 0) {
        std::fputc('\n', FStream);
        std::fflush(FStream);
    }
    FLast = -1;
}

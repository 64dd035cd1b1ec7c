#include "cli/CliRange.h"

#include "job/TimeTexts.h"
#include "media/FFUtils.h"

#include <algorithm>

namespace {

// Below this an end "past" the audio is rounding, not a clamp worth a notice (µs).
constexpr int64_t ClampSlack = 1000;
// A header may count a little more than the decoder plays (the encoder's delay and padding); a
// file whose audio stops more than this before its header's end is short of data (µs).
constexpr int64_t TruncationSlack = 1000000;

// How far inside both bounds an end must lie for the scan to be left out (µs, and a fraction of
// the bound): the bounds are estimates (tags count in the size, a variable bit rate is averaged).
constexpr int64_t ScanMargin = 5000000;
constexpr int64_t ScanMarginPercent = 2;

} // namespace

int64_t ScanLimit(const TCliRequest& request, int64_t headerUs, int64_t fileSize, int bitRate) {
    const int64_t askedEnd = SecondsToMicroseconds(request.EndSeconds);
    if (headerUs <= 0 || fileSize <= 0 || bitRate <= 0)
        return askedEnd;
    const double sizeUs = double(fileSize) * 8.0 * 1e6 / double(bitRate);
    const double reach = std::min(double(headerUs), sizeUs);
    const double margin = double(ScanMargin) + reach * ScanMarginPercent / 100.0;
    return double(askedEnd) + margin < reach ? 0 : askedEnd;
}

TCliRange ResolveCutRange(const TCliRequest& request, const QString& source, int64_t headerUs,
                          const TAudioExtent& extent) {
    TCliRange range;
    if (!extent.HasAudio) {
        range.Refusal = QStringLiteral("Nothing to cut: %1 holds no decodable audio.").arg(source);
        return range;
    }
    const int64_t askedStart = SecondsToMicroseconds(request.StartSeconds);
    const int64_t askedEnd = SecondsToMicroseconds(request.EndSeconds);
    const QString asked = request.StartText + QStringLiteral(" - ") + request.EndText;
    // A scan that stopped early saw audio at least up to the asked end.
    const int64_t audioEnd = extent.ReachedEnd ? extent.EndUs : std::max(extent.EndUs, askedEnd);
    if (askedStart >= askedEnd) {
        range.Refusal = QStringLiteral("Nothing to cut: the range %1 is empty.").arg(asked);
        return range;
    }
    if (askedStart >= audioEnd) {
        range.Refusal = QStringLiteral("Nothing to cut: the range %1 is empty within the file's %2.")
                            .arg(asked, TimeText(audioEnd));
        return range;
    }
    range.StartUs = askedStart;
    range.EndUs = std::min(askedEnd, audioEnd);
    if (askedEnd <= audioEnd + ClampSlack)
        return range;
    if (headerUs > 0 && audioEnd < headerUs - TruncationSlack)
        range.Notices << QStringLiteral("Notice: the audio of %1 really ends at %2, before the %3 "
                                        "its header claims; the cut ends there.")
                             .arg(source, TimeText(audioEnd), TimeText(headerUs));
    else
        range.Notices << QStringLiteral("Notice: the end %1 is past the end of the audio; the cut "
                                        "ends there, at %2.")
                             .arg(request.EndText, TimeText(audioEnd));
    return range;
}

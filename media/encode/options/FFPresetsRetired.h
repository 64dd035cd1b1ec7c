#pragma once
// Preset lines written for the x264 wrapper of older FFmpeg releases. Several of their options
// were retired when the wrapper got options of its own: "directpred", the x264 bits of
// "flags2" (+wpred, +dct8x8, +mixed_refs ...), "cqp", "rc_lookahead", "aq_mode", and the
// "+parti8x8" spelling of "partitions". The preset texts stay as they were written; applying a
// line goes through this translation to the names the installed FFmpeg knows.

#include <string>
#include <vector>

namespace ffopt {

struct TPresetSetting {
    std::string Name;
    std::string Value;
};

struct TPresetTranslation {
    // What to set instead of the line; the line itself when nothing of it was retired.
    std::vector<TPresetSetting> Settings;
    // Parts of the line that have no successor and are left out ("flags2 +foo"); empty when none.
    std::vector<std::string> Dropped;
};

// name is compared without case; value is the line's text after "=".
TPresetTranslation TranslatePresetLine(const std::string& name, const std::string& value);

} // namespace ffopt

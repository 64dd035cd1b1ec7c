#include "media/encode/options/FFPresetsRetired.h"

#include "media/encode/options/FFOptionsValues.h"

#include <cstring>

namespace ffopt {
namespace {

// A "+a-b+c" flag text as (name, on) pairs; a name without a sign is switched on.
std::vector<std::pair<std::string, bool>> SplitFlags(const std::string& text) {
    std::vector<std::pair<std::string, bool>> flags;
    bool on = true;
    std::string name;
    auto flush = [&] {
        if (!name.empty())
            flags.emplace_back(name, on);
        name.clear();
    };
    for (const char c : text) {
        if (c == '+' || c == '-') {
            flush();
            on = c == '+';
        } else if (c != ' ') {
            name += c;
        }
    }
    flush();
    return flags;
}

// The x264 bits that left "flags2" for options of the x264 wrapper, with the values for on and
// off.
struct TFlagSuccessor {
    const char* Flag;
    const char* Option;
    const char* On;
    const char* Off;
};
constexpr TFlagSuccessor Flags2Successors[] = {
    {"wpred", "weightb", "1", "0"},
    {"dct8x8", "8x8dct", "1", "0"},
    {"mixed_refs", "mixed-refs", "1", "0"},
    {"fastpskip", "fast-pskip", "1", "0"},
    {"bpyramid", "b-pyramid", "normal", "none"},
    {"mbtree", "mbtree", "1", "0"},
    {"aud", "aud", "1", "0"},
    {"psy", "psy", "1", "0"},
    {"ssim", "ssim", "1", "0"},
    {"intra_refresh", "intra-refresh", "1", "0"},
};

// Bits "flags2" still has.
constexpr const char* Flags2Current[] = {"fast",         "noout",       "ignorecrop",
                                         "local_header", "chunks",      "showall",
                                         "export_mvs",   "skip_manual", "ass_ro_flush_noop"};

// Options renamed without a change of meaning.
constexpr std::pair<const char*, const char*> Renamed[] = {
    {"directpred", "direct-pred"},
    {"rc_lookahead", "rc-lookahead"},
    {"aq_mode", "aq-mode"},
    {"cqp", "qp"},
};

void TranslateFlags2(const std::string& value, TPresetTranslation& result) {
    std::string kept;
    for (const auto& [flag, on] : SplitFlags(value)) {
        const std::string lower = Lower(flag);
        bool done = false;
        for (const TFlagSuccessor& s : Flags2Successors) {
            if (lower == s.Flag) {
                result.Settings.push_back({s.Option, on ? s.On : s.Off});
                done = true;
            }
        }
        for (const char* current : Flags2Current) {
            if (!done && lower == current) {
                kept += (on ? "+" : "-") + flag;
                done = true;
            }
        }
        if (!done)
            result.Dropped.push_back("flags2 " + std::string(on ? "+" : "-") + flag);
    }
    if (!kept.empty())
        result.Settings.push_back({"flags2", kept});
}

// "+parti8x8+partp8x8-partb8x8" → "i8x8,p8x8": the wrapper takes a list of the partitions to
// use, so the ones switched off are simply not named.
void TranslatePartitions(const std::string& value, TPresetTranslation& result) {
    std::string list;
    for (const auto& [flag, on] : SplitFlags(value)) {
        std::string name = Lower(flag);
        if (name.rfind("part", 0) == 0)
            name = name.substr(4);
        if (name != "i4x4" && name != "i8x8" && name != "p4x4" && name != "p8x8" &&
            name != "b8x8") {
            result.Dropped.push_back("partitions " + std::string(on ? "+" : "-") + flag);
            continue;
        }
        if (on)
            list += (list.empty() ? "" : ",") + name;
    }
    result.Settings.push_back({"partitions", list.empty() ? "none" : list});
}

} // namespace

TPresetTranslation TranslatePresetLine(const std::string& name, const std::string& value) {
    TPresetTranslation result;
    const std::string lower = Lower(name);
    // Only the flag spelling is retired; a list ("i8x8,p8x8") is already the current one.
    const bool flagSpelling = value.find_first_of("+-") != std::string::npos;
    if (lower == "flags2") {
        TranslateFlags2(value, result);
    } else if (lower == "partitions" && flagSpelling) {
        TranslatePartitions(value, result);
    } else {
        for (const auto& [old, now] : Renamed)
            if (lower == old)
                result.Settings.push_back({now, value});
        if (result.Settings.empty())
            result.Settings.push_back({name, value});
    }
    return result;
}

} // namespace ffopt

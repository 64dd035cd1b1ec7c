#include "media/encode/options/FFPresets.h"

#include "media/encode/options/FFOptionsValues.h"
#include "media/encode/options/FFPresetsRetired.h"
#include "media/FFLog.h"
#include "media/encode/TCustomFFmpeg.h"

#include <QFile>
#include <QFileInfo>

using namespace ffopt;

namespace {
void LogPresetNote(const std::string& text) {
    ActiveLogger()->Log(llWarning, QString::fromLocal8Bit(text.c_str()));
}
} // namespace

bool FindBuiltinPreset(const std::string& name, std::string& text) {
    int count = 0;
    const TBuiltinPreset* presets = BuiltinPresets(count);
    for (int i = 0; i < count; ++i) {
        if (SameText(name, presets[i].Name)) {
            text = presets[i].Text;
            return true;
        }
    }
    return false;
}

void TCustomFFmpeg::SetPreset(const std::string& kind, const std::string& name) {
    if (kind.empty() || name.empty())
        return;
    std::string presetName = name;
    std::string text;
    bool found = false;
    if (kind != "fpre") {
        found = FindBuiltinPreset(name, text);
        if (!found) {
            // A preset made for one codec carries the codec's name in front ("libx264-fast").
            std::string codec = kind == "vpre"   ? FOpt.VideoCodecName
                                : kind == "apre" ? FOpt.AudioCodecName
                                                 : std::string();
            if (codec.empty())
                codec = FOpt.SubtitleCodecName;
            if (!codec.empty()) {
                presetName = codec + "-" + name;
                found = FindBuiltinPreset(presetName, text);
            }
        }
    }
    if (!found) {
        const QString fileName = QString::fromLocal8Bit(name.c_str());
        QFile file(fileName);
        if (!QFileInfo(fileName).isFile() || !file.open(QIODevice::ReadOnly))
            throw FFmpegException::Format("Preset \"%s\" not found", name.c_str());
        text = file.readAll().toStdString();
    }
    ApplyPresetText(presetName, text);
}

void TCustomFFmpeg::ApplyPresetText(const std::string& presetName, const std::string& text) {
    const std::string all = Trim(text);
    size_t start = 0;
    while (start <= all.size()) {
        // Any line break ends a line: CR LF, LF or a lone CR.
        size_t end = all.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = all.size();
        const std::string line = Trim(all.substr(start, end - start));
        start = end + ((end + 1 < all.size() && all[end] == '\r' && all[end + 1] == '\n') ? 2 : 1);
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? line : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (key.empty() || value.empty())
            throw FFmpegException::Format("%s: Invalid syntax: \"%s\"", presetName.c_str(),
                                          line.c_str());
        const std::string lowerKey = Lower(key);
        if (lowerKey == "acodec" || lowerKey == "vcodec" || lowerKey == "scodec") {
            SetOption(lowerKey, value);
            continue;
        }
        const TPresetTranslation translation = TranslatePresetLine(key, value);
        for (const std::string& dropped : translation.Dropped)
            LogPresetNote(presetName + ": \"" + line + "\": " + dropped +
                          " has no successor in this FFmpeg; left out");
        const bool translated = translation.Settings.size() != 1 ||
                                translation.Settings[0].Name != key ||
                                translation.Settings[0].Value != value;
        for (const TPresetSetting& setting : translation.Settings) {
            if (SetGenericOption(setting.Name, setting.Value))
                continue;
            // A successor this FFmpeg lacks (an x264 option without libx264) costs the one
            // setting, not the preset; a line of the preset itself that is wrong stays an error.
            if (translated) {
                LogPresetNote(presetName + ": \"" + line + "\": " + setting.Name + "=" +
                              setting.Value + " is not known to this FFmpeg; left out");
                continue;
            }
            throw FFmpegException::Format(
                "%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                presetName.c_str(), line.c_str(), key.c_str(), value.c_str());
        }
    }
}

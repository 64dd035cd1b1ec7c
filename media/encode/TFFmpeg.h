#pragma once
// The engine object the encoder component creates for each task: the engine plus the option
// strings in which the component hands over the extra option lines of its records.

#include "media/encode/TCustomFFmpeg.h"

#include <string>
#include <utility>
#include <vector>

class TFFmpeg : public TCustomFFmpeg {
public:
    TFFmpeg() = default;

    // Applies "name=value" lines separated by line breaks or by the literal "<CRLF>". Names are
    // lower-cased. The stream names (newaudio ..., presets, vf) are left to the component, and
    // codec names and frame size are applied only withCodecs. The first rejected option ends the
    // parse with its exception.
    void ApplyOptionString(const std::string& text, bool withCodecs);
};

// The lines of an option string as (lower-cased name, value) pairs; a line without "=" has an
// empty value. Shared with the component, which reads the same text for its defaults list.
std::vector<std::pair<std::string, std::string>> SplitOptionString(const std::string& text);

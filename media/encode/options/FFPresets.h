#pragma once
// Presets: texts of name=value lines that set several library options at once. The built-in
// ones are FFmpeg's libx264 preset files; any other preset is read from a file.

#include <string>

struct TBuiltinPreset {
    const char* Name;
    const char* Text;
};

// The table of built-in presets.
const TBuiltinPreset* BuiltinPresets(int& count);
// The text of the built-in preset called name (any case); false when there is none.
bool FindBuiltinPreset(const std::string& name, std::string& text);

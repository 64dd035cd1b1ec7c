// The option strings of the encoder component's records ("name=value" lines) and preset files,
// applied to a fresh engine as a task's extra options and read as a preset file.
#include "fuzz/FuzzSupport.h"
#include "media/encode/TFFmpeg.h"

#include <exception>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const auto& [name, value] : SplitOptionString(text))
        if (name.find('\n') != std::string::npos)
            __builtin_trap(); // one line is one option
    for (const bool withCodecs : {false, true}) {
        TFFmpeg engine;
        engine.InitOptions();
        try {
            engine.ApplyOptionString(text, withCodecs);
        } catch (const std::exception&) {
            // a rejected value is a normal outcome
        }
    }
    // The same text as a preset file named on the "fpre" option.
    static const fuzzsupport::TScratchFile file("snipwave-fuzz-preset", ".ffpreset");
    if (!file.Write(data, size))
        return 0;
    TFFmpeg preset;
    preset.InitOptions();
    try {
        preset.SetPreset("fpre", file.Name().toStdString());
    } catch (const std::exception&) {
    }
    return 0;
}

// A probe plus a one-second cut of a file given as bytes. The file's name holds a ":" so that it
// is opened through the wide-name opener's own I/O, the road of every unusual name.
#include "fuzz/FuzzSupport.h"
#include "media/decode/TFFDecoder.h"
#include "media/encode/TFFmpeg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzsupport::TScratchFile source("snipwave-fuzz:source", ".mp3");
    static const fuzzsupport::TScratchFile output("snipwave-fuzz-cut", ".mp3");
    if (!source.Write(data, size))
        return 0;
    {
        TFFDecoder probe;
        if (probe.OpenMediaFile(source.Name()))
            (void)probe.GetMediaInfo();
    }
    TFFmpeg engine;
    engine.InitOptions();
    if (!engine.OpenInputFile(source.Name()))
        return 0;
    engine.Options().AudioCodecName = "libmp3lame";
    engine.Options().RecordingTime = 1000000;
    engine.Options().RequireRecordingTime = true;
    if (engine.OpenOutputFile(output.Name(), false) > 0)
        engine.Start(false, 0);
    return 0;
}

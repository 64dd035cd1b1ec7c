#pragma once
// One input of an engine task and the stage that opens it.
//
// Opening runs on the caller's thread (the main thread in this program); only the stream
// probing takes the process-wide codec lock, because probing opens decoders internally.

#include "media/encode/FFLoopSettings.h"
#include "media/encode/FFLoopSupport.h"

#include <QString>

#include <array>
#include <memory>
#include <string>
#include <vector>

struct TFFInputFile {
    QString FileName;
    ffstage::InputContextPtr Context;
    int64_t TsOffset = 0; // µs added to every packet timestamp of this input
    std::array<double, MaxStreamsPerFile> TsScale{}; // per stream; 0 = unscaled
    std::vector<const AVCodec*> ForcedDecoders;      // per stream; null = by codec id
    bool LoopInput = false;
};

using TFFInputList = std::vector<std::unique_ptr<TFFInputFile>>;

class TFFInputOpener {
public:
    // Opens fileName as the next input and consumes the per-input options of s. True when the
    // input was appended to inputs; false with the message in lastError and nothing added.
    // Raises the engine exception for an unknown forced format or a failed allocation.
    static bool Open(TFFLoopSettings& s, const QString& fileName, TFFInputList& inputs,
                     std::string& lastError);

private:
    static void ReadStreamSettings(TFFLoopSettings& s, TFFInputFile& in);
};

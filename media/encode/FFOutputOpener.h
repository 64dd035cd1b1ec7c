#pragma once
// The stage that creates an output file of an engine task: container format, the streams the
// inputs and options call for, each stream's encoder parameters from the option values, the
// file's metadata, and the file itself. Runs on the caller's thread before a run.

#include "media/encode/FFInputFile.h"
#include "media/encode/FFLoopSettings.h"
#include "media/encode/FFOutputFile.h"

#include <QString>

#include <string>

class TFFOutputOpener {
public:
    // Creates fileName as the next output. Returns the number of outputs now held, or -1 with
    // the message in lastError and nothing added. An output that names one of the inputs is
    // refused before anything is opened for writing.
    static int Open(TFFLoopSettings& s, const QString& fileName, bool join,
                    const TFFInputList& inputs, TFFOutputList& outputs, bool& joinMode,
                    std::string& lastError);

    // Stream creation on out (the last output file); raise the engine exception on failure.
    // Each resets the per-stream options of its kind.
    static void NewAudioStream(TFFLoopSettings& s, TFFOutputFile& out);
    static void NewVideoStream(TFFLoopSettings& s, TFFOutputFile& out);
    static void NewSubtitleStream(TFFLoopSettings& s, TFFOutputFile& out);

private:
    static AVStream* NewStream(TFFLoopSettings& s, TFFOutputFile& out, AVMediaType type,
                               const AVCodec* encoder, uint32_t tag);
    static void ScanInputKinds(const TFFInputList& inputs, bool firstOnly, bool& video, bool& audio,
                               bool& subtitle);
    static void MoveMetadata(TFFLoopSettings& s, AVFormatContext* oc);
};

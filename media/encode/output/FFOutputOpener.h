#pragma once
// The output stage: creates an output file of an engine task with its container format, the
// streams the inputs and options call for, each stream's encoder parameters from the option
// values, the file's metadata, and the file itself. Runs on the caller's thread before a run.

#include "media/encode/output/FFOutputFile.h"
#include "media/encode/TCustomFFmpeg.h"

#include <QString>

#include <string>
#include <vector>

class TFFOutputOpener {
public:
    TFFOutputOpener(TFFOptionState& s, const TFFOptionContexts& c,
                    const std::vector<TInputFile>& inputs, std::vector<TOutputFile>& outputs,
                    std::vector<TFFOutputExtra>& extras, std::vector<const AVCodec*>& codecs)
        : S(s), C(c), Inputs(inputs), Outputs(outputs), Extras(extras), Codecs(codecs) {}

    // Creates fileName as the next output. Returns the number of outputs now held, or -1 with
    // the message in lastError and nothing added. An output that is the same file as one of the
    // inputs is refused before anything is opened for writing.
    int Open(const QString& fileName, bool join, bool& joinMode, std::string& lastError);

    // Stream creation on output file fileIndex; raise the engine exception on failure. Each
    // resets the per-stream options of its kind.
    void NewAudioStream(int fileIndex);
    void NewVideoStream(int fileIndex);
    void NewSubtitleStream(int fileIndex);

private:
    AVStream* NewStream(int fileIndex, AVMediaType type, const AVCodec* encoder, uint32_t tag);
    const AVCodec* ChooseEncoder(int fileIndex, const std::string& name, AVMediaType type) const;
    void ScanInputKinds(bool firstOnly, bool& video, bool& audio, bool& subtitle) const;
    void MoveMetadata(AVFormatContext* oc);
    // Sets a private option of the muxer when the muxer has it.
    static void SetMuxerOption(AVFormatContext* oc, const char* name, int64_t value);

    TFFOptionState& S;
    const TFFOptionContexts& C;
    const std::vector<TInputFile>& Inputs;
    std::vector<TOutputFile>& Outputs;
    std::vector<TFFOutputExtra>& Extras;
    std::vector<const AVCodec*>& Codecs; // chosen encoder per created stream, in order
};

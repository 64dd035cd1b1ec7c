#pragma once
// The input stage: opens one media file as the next input of an engine task.
//
// Runs on the caller's thread (the main thread in this program); only the stream probing takes
// the process-wide codec lock, because probing opens decoders internally.

#include "media/encode/TCustomFFmpeg.h"

#include <QString>

#include <string>
#include <vector>

class TFFInputOpener {
public:
    TFFInputOpener(TFFOptionState& s, const TFFOptionContexts& c, std::vector<TInputFile>& inputs,
                   std::vector<const AVCodec*>& inputCodecs)
        : S(s), C(c), Inputs(inputs), InputCodecs(inputCodecs) {}

    // Opens fileName as the next input and consumes the per-input options. True when the input
    // was appended; false with the message in lastError and nothing added. Raises the engine
    // exception for an unknown forced format or a failed allocation.
    bool Open(const QString& fileName, std::string& lastError);

    // The file name an input was opened with.
    static QString FileName(const TInputFile& in);

private:
    void ReadStreamSettings(AVFormatContext* ic);
    void ReportFrameRates(const AVStream* st) const;
    void ApplyLowres(const AVFormatContext* ic);
    void ForgetPerInputOptions();

    TFFOptionState& S;
    const TFFOptionContexts& C;
    std::vector<TInputFile>& Inputs;
    std::vector<const AVCodec*>& InputCodecs; // per stream of every input, in order
};

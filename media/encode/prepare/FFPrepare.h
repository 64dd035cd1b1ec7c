#pragma once
// Preparation of a run: turns the opened inputs and outputs into the stream tables, binds each
// output stream to its source, sets up stream copy or encoding, opens encoders and decoders
// (under the codec lock), copies metadata and chapters and writes the file headers. Runs on the
// run's thread; every failure raises the engine exception.

#include "media/encode/output/FFOutputFile.h"
#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/prepare/FFPrepareStreams.h"

class TFFVideoPath;

// What preparation needs of the video path: its set-up of encoded streams, and whether anything
// would have to see decoded pictures of a copied stream.
struct TFFPrepareVideo {
    TFFVideoPath* Path = nullptr;
    bool HookAssigned = false; // an input or output hook
    bool FrameHooks = false;   // "vhook"
    bool Preview = false;      // a preview flag with a receiver
};

class TFFPrepare {
public:
    TFFPrepare(TFFOptionState& s, const TFFOptionContexts& c, std::vector<TInputFile>& inputs,
               const std::vector<const AVCodec*>& inputCodecs, std::vector<TOutputFile>& outputs,
               std::vector<TFFOutputExtra>& extras, bool joinMode, bool audioHookAssigned,
               TFFStreamTables& t, const TFFPrepareVideo& video = {})
        : S(s), C(c), In(inputs), InputCodecs(inputCodecs), Out(outputs), OutX(extras),
          Join(joinMode), AudioHook(audioHookAssigned), T(t), Video(video) {}

    void Run();

    // Frees every encoder and decoder still open, each under the codec lock. Safe to call more
    // than once and after a failed preparation.
    static void CloseCodecs(std::vector<TFFOutputExtra>& extras, TFFStreamTables& t);

    // "  Stream #0.0 -> #0.0 (audio)" lines, written before a failure is reported as well.
    void LogStreamMapping() const;

private:
    void BuildInputTable();
    void BuildOutputTable();
    void ChooseSources();
    int FindSource(const TFFOutputStream& ost) const;
    void SetUpCopy(TFFOutputStream& ost);
    void SetUpEncoding(TFFOutputStream& ost);
    // Subtitle encoders open after the decoders: they take the decoder's subtitle header.
    void OpenEncoders(bool subtitles);
    void OpenDecoders();
    void CopyMetadataMaps();
    void CopyChapters();
    void WriteHeaders();
    [[noreturn]] void FailWithMapping(const std::string& msg) const;

    TFFOptionState& S;
    const TFFOptionContexts& C;
    std::vector<TInputFile>& In;
    const std::vector<const AVCodec*>& InputCodecs; // forced decoder per input stream
    std::vector<TOutputFile>& Out;
    std::vector<TFFOutputExtra>& OutX;
    bool Join;
    bool AudioHook;
    TFFStreamTables& T;
    TFFPrepareVideo Video;
};

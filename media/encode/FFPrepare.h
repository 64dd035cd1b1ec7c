#pragma once
// Preparation of a run: turns the opened inputs and outputs into the stream tables, binds each
// output stream to its source, sets up stream copy or encoding, opens encoders and decoders
// (under the codec lock), copies metadata and chapters and writes the file headers. Runs on the
// run's thread; every failure raises the engine exception.

#include "media/encode/FFInputFile.h"
#include "media/encode/FFLoopSettings.h"
#include "media/encode/FFOutputFile.h"
#include "media/encode/FFPrepareStreams.h"

class TFFPrepare {
public:
    TFFPrepare(TFFLoopSettings& s, TFFInputList& inputs, TFFOutputList& outputs, bool joinMode,
               bool audioHookAssigned, TFFStreamTables& t)
        : S(s), In(inputs), Out(outputs), Join(joinMode), AudioHook(audioHookAssigned), T(t) {}

    void Run();

    // Frees every encoder and decoder still open, each under the codec lock. Safe to call more
    // than once and after a failed preparation.
    static void CloseCodecs(TFFOutputList& outputs, TFFStreamTables& t);

    // "  Stream #0.0 -> #0.0 (audio)" lines, written before a failure is reported as well.
    void LogStreamMapping() const;

private:
    void BuildInputTable();
    void BuildOutputTable();
    void ChooseSources();
    int FindSource(const TFFOutputStream& ost) const;
    void SetUpCopy(TFFOutputStream& ost);
    void SetUpEncoding(TFFOutputStream& ost);
    void OpenEncoders();
    void OpenDecoders();
    void CopyMetadataMaps();
    void CopyChapters();
    void WriteHeaders();
    [[noreturn]] void FailWithMapping(const std::string& msg) const;

    TFFLoopSettings& S;
    TFFInputList& In;
    TFFOutputList& Out;
    bool Join;
    bool AudioHook;
    TFFStreamTables& T;
};

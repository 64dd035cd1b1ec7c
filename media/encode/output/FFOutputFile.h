#pragma once
// What the engine keeps beside each output file's muxer context: the file's name, the codec
// set-up chosen for each stream at creation, and whether anything reached the file. The file is
// opened through the shared file opener with seekable I/O, so that muxers can go back and fill
// in headers (the MP3 muxer's Xing/LAME frame and ID3 size).
//
// A regular file (or a free name) is written to a temporary beside it and put in place only
// when the run ends with a valid file, so a failed or killed run never costs the user the file
// that was there. Devices, FIFOs and URLs are written in place.

#include "media/TAtomicFile.h"
#include "media/encode/FFFiles.h"

#include <QString>

#include <string>
#include <vector>

// What stream creation decided for one output stream; preparation opens the encoder from it.
struct TFFOutputStreamSetup {
    AVCodecContextPtr Codec;          // encoder parameters; freed when the encoder is closed
    const AVCodec* Encoder = nullptr; // chosen by name; null = by codec id at preparation
    bool Copy = false;                // packets are copied, not decoded
};

struct TFFOutputExtra {
    QString FileName;
    std::vector<TFFOutputStreamSetup> Streams;
    TAtomicFile Temp;       // the temporary the file is written to; inactive when in place
    bool MayReplace = true; // the final rename may replace a file found under the name
    int64_t Packets = 0;    // packets handed to the muxer

    // Creates the file of out (its temporary, or the file itself when written in place). False
    // with "file: reason" in err.
    bool OpenFile(TOutputFile& out, std::string& err);
    // Bytes written so far to out's file.
    static int64_t Size(const TOutputFile& out);
    // Flushes and closes out's file and frees its context and streams. The temporary is put in
    // place when a packet reached it and discard is not set (a failed run); otherwise it is
    // removed and whatever had the name stays as it was. False with "file: reason" in err when
    // the file could not be completed or put in place: the run then did not produce it.
    bool Close(TOutputFile& out, bool discard, std::string& err);
};

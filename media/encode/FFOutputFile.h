#pragma once
// What the engine keeps beside each output file's muxer context: the file's name, the codec
// set-up chosen for each stream at creation, and whether anything reached the file. The file is
// opened through the shared file opener with seekable I/O, so that muxers can go back and fill
// in headers (the MP3 muxer's Xing/LAME frame and ID3 size).

#include "media/encode/TCustomFFmpeg.h"

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
    bool Created = false; // we created or truncated a regular file
    int64_t Packets = 0;  // packets handed to the muxer

    // Creates (or truncates) the file of out. False with "file: reason" in err.
    bool OpenFile(TOutputFile& out, std::string& err);
    // Bytes written so far to out's file.
    static int64_t Size(const TOutputFile& out);
    // Flushes and closes out's file and frees its context and streams. The file is removed when
    // no packet reached it (empty, or a bare header without media), or when discard is set (a
    // run that failed leaves no half-written file behind). Returns 0 or a negative AVERROR.
    int Close(TOutputFile& out, bool discard);
};

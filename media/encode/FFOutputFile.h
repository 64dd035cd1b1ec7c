#pragma once
// One output file of an engine task: its muxer context, the streams created for it with the
// codec set-up chosen at creation, and the file itself, opened through the shared file opener
// with seekable I/O so that muxers can go back and fill in headers (the MP3 muxer's Xing/LAME
// frame and ID3 size).

#include "media/encode/FFLoopSupport.h"

#include <QString>

#include <memory>
#include <string>
#include <vector>

// What stream creation decided for one output stream; preparation opens the encoder from it.
struct TFFOutputStreamSetup {
    ffstage::CodecContextPtr Codec;   // encoder parameters; freed when the encoder is closed
    const AVCodec* Encoder = nullptr; // chosen by name; null = by codec id at preparation
    bool Copy = false;                // packets are copied, not decoded
};

class TFFOutputFile {
public:
    explicit TFFOutputFile(const QString& fileName) : FFileName(fileName) {}
    ~TFFOutputFile();
    TFFOutputFile(const TFFOutputFile&) = delete;
    TFFOutputFile& operator=(const TFFOutputFile&) = delete;

    const QString& FileName() const { return FFileName; }
    AVFormatContext* Context() const { return FContext; }
    void SetContext(AVFormatContext* oc) { FContext = oc; } // takes ownership
    std::vector<TFFOutputStreamSetup>& Streams() { return FStreams; }

    // Creates (or truncates) the file. False with the message "file: reason" in err.
    bool OpenFile(std::string& err);
    // Bytes written so far.
    int64_t Size() const;
    // Counts a packet handed to the muxer.
    void CountPacket() { ++FPackets; }

    // Flushes and closes the file, then frees the streams and the context. The file is removed
    // when no packet reached it (empty, or a bare header without any media), or when discard is
    // set (a run that failed leaves no half-written file behind). Returns the close result (0 or
    // a negative AVERROR).
    int Close(bool discard);

private:
    QString FFileName;
    AVFormatContext* FContext = nullptr;
    std::vector<TFFOutputStreamSetup> FStreams;
    bool FCreated = false; // we created or truncated a regular file
    int64_t FPackets = 0;  // packets handed to the muxer
};

using TFFOutputList = std::vector<std::unique_ptr<TFFOutputFile>>;

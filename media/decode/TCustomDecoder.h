#pragma once
// The probe: opens a media file with libavformat, reads its stream information and answers
// questions about it (duration, start time, bit rate, size, stream counts, tags).
//
// A probe either owns its format context (OpenMediaFile) or looks at one that somebody else
// opened (AttachContext, used by the encoder's tasks and the player); it never closes a context
// it did not open. Every open passes through the closed state first, so a failed open leaves
// the probe closed.
//
// Threads: none of its own. A probe is used by one thread at a time (the window's probe by the
// main thread). Stream-information probing opens decoders, so it runs under CodecLock(), as does
// closing an owned context.

#include "media/AVPtr.h"
#include "media/FFBaseComponent.h"

#include <QString>

#include <cstdint>

// What GetMediaInfo reports about the open file.
struct TFileStreamInfo {
    int64_t StartTime = -1; // µs; -1 when not known
    int64_t Duration = -1;  // µs; -1 when not known
    int32_t BitRate = -1;   // bits per second, the container's total
    // Creation time from the "creation_time" tag, µs since 1970-01-01 UTC; 0 when the file has
    // none or it cannot be read.
    int64_t Timestamp = -1;
    int32_t Year = -1;  // leading number of the "year" (else "date") tag; 0 when absent
    int32_t Track = -1; // leading number of the "track" tag ("7/12" gives 7); 0 when absent
    QString Title;
    QString Author; // the "artist" tag (ID3 TPE1), else "author"
    QString Copyright;
    QString Comment;
    QString Album;
    QString Genre;
};

class TCustomDecoder : public TFFBaseComponent {
    Q_OBJECT
public:
    explicit TCustomDecoder(QObject* parent = nullptr);
    ~TCustomDecoder() override;

    // Closes any open file, then opens fileName and reads its stream information. formatName
    // forces an input format ("" detects it). False with LastErrorText() on failure; throws
    // std::runtime_error when a required library is not loaded.
    bool OpenMediaFile(const QString& fileName, const QString& formatName = QString());
    // The record of the open file; with none, every number is -1, every string empty, and
    // "file not loaded." is logged and left in LastErrorText().
    void GetMediaInfo(TFileStreamInfo& info);
    TFileStreamInfo GetMediaInfo();
    // Closes the file if the probe opened it and forgets it either way.
    void CloseMediaFile();
    // Makes an already-open context the probe's file without taking ownership. Throws
    // std::runtime_error when a required library is not loaded.
    void AttachContext(AVFormatContext* context);

    AVFormatContext* FormatContext() const { return FFormatContext; }
    bool OwnsContext() const { return FOwnsContext; }
    // The forced format of the last successful open ("" when detected).
    QString FormatName() const { return FFormatName; }
    // The long name of the open file's input format ("" when closed).
    QString FormatLongName() const;

    // All -1 while no file is open.
    int64_t FileSize() const { return FFileSize; } // bytes
    int StreamCount() const { return FStreamCount; }
    int ProgramCount() const { return FProgramCount; }
    int AudioStreamCount() const { return FAudioStreamCount; }
    int VideoStreamCount() const { return FVideoStreamCount; }
    int SubtitleStreamCount() const { return FSubtitleStreamCount; }
    int FirstAudioStream() const { return FFirstAudioStream; } // stream index
    int FirstVideoStream() const { return FFirstVideoStream; }
    int FirstSubtitleStream() const { return FFirstSubtitleStream; }

private:
    // Throws with the message of the first library, in avcodec, avformat, avutil, swscale
    // order, that is not loaded.
    static void CheckLibraries();
    void RefreshFields();
    void Fail(const QString& message);

    AVFormatContext* FFormatContext = nullptr;
    AVInputContextPtr FOwned; // holds FFormatContext when the probe opened it
    bool FOwnsContext = false;
    QString FFormatName;
    int64_t FFileSize = -1;
    int FStreamCount = -1;
    int FProgramCount = -1;
    int FAudioStreamCount = -1;
    int FVideoStreamCount = -1;
    int FSubtitleStreamCount = -1;
    int FFirstAudioStream = -1;
    int FFirstVideoStream = -1;
    int FFirstSubtitleStream = -1;
};

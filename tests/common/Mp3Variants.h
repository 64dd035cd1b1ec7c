#pragma once
// Copies of an MP3 fixture changed the ways real files differ from what their encoder wrote:
// a tag added after the audio, frames spliced on, a frame lost. Each is written into a folder
// the test owns; the path is returned, or an empty string when the fixture could not be read.

#include <QString>

namespace mp3variants {

// With a 128-byte ID3v1 tag after the last frame.
QString WithId3v1(const QString& fixture, const QString& folder);
// With copies of its last `frames` frames appended: more audio than its info tag counts.
QString WithFramesAppended(const QString& fixture, const QString& folder, int frames);
// Without the frame in the middle of the file: less audio than its info tag counts.
QString WithoutMiddleFrame(const QString& fixture, const QString& folder);
// Every audio frame's header kept and the rest of it filled with 0xFF: valid headers over data
// no decoder takes.
QString WithGarbagePayload(const QString& fixture, const QString& folder);
// Cut off after its first `frames` audio frames (the info tag still counts them all).
QString WithFirstFramesOnly(const QString& fixture, const QString& folder, int frames);

} // namespace mp3variants

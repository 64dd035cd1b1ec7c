#pragma once
// Small shared pieces of the engine's stages: how a stage fails (the engine exception), how it
// logs (the log bridge), the library error texts, owning wrappers for the FFmpeg objects the
// stages hold, and the copy of generic library options into new contexts.

#include "media/AVPtr.h"
#include "media/FFEntryPoints.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <string>

namespace ffstage {

// Ends the current stage with the engine exception carrying msg.
[[noreturn]] void Raise(const std::string& msg);
[[noreturn]] void Raise(const QString& msg);

// Log levels of the log bridge, by their order (quiet .. debug).
enum class TStageLog { Quiet, Panic, Fatal, Error, Warning, Info, Verbose, Debug };
void Log(TStageLog level, const QString& msg);

// printf-style formatting into a narrow string.
std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The engine's words for a library error code, and for an error of its own file access
// (FFUtils holds the one table of these texts).
std::string LibErrorText(int err);
std::string FileErrorText(int err);

// Narrow (locale charset) form of a wide file name, for messages.
std::string Narrow(const QString& s);

using InputContextPtr = AVInputContextPtr;
using CodecContextPtr = AVCodecContextPtr;
using FramePtr = AVFramePtr;
using PacketPtr = AVPacketPtr;
using SwrPtr = SwrContextPtr;
using AudioFifoPtr = AVAudioFifoPtr;

// Allocations that end the stage with the engine exception when memory runs out.
FramePtr NewFrame();
PacketPtr NewPacket();

// A channel layout for a count and an optional mask (0: the count's default layout).
AVChannelLayout ChannelLayout(int channels, uint64_t mask);

} // namespace ffstage

namespace ffstage {
// Looks a codec up by name as an encoder or decoder of the given media type. On failure returns
// null and leaves the engine's message ("Unknown encoder 'x'" ...) in err.
const AVCodec* FindCodecByName(const std::string& name, AVMediaType type, bool encoder,
                               int strictness, std::string& err);

// "audio", "video" ... as the engine's messages name media types.
const char* MediaTypeText(AVMediaType type);

// True when both names denote one existing file (after links), compared by device and inode.
bool SameFile(const QString& a, const QString& b);
} // namespace ffstage

#pragma once
// File names on their way into libavformat.
//
// libavformat takes a name as bytes and reads anything of the form "scheme:rest" as a URL, so a
// file called "a:b.mp3" would reach a protocol "a" that does not exist. Such names, and names
// that the locale's charset cannot carry, travel as "unicode:utf8:" + the name in UTF-8 and are
// opened by us, with libavformat reading and writing through an I/O context of our own
// (read/write/seek callbacks over a file descriptor). Every other name goes to libavformat as it
// is. Every input and output of the media layer is opened and closed through the functions
// below, never with avformat_open_input/avio_open directly.
//
// Threads: all functions may be called from any thread. An opened context is used by one
// thread at a time, as libavformat requires; our I/O callbacks keep their state in the context.

#include <QByteArray>
#include <QString>

struct AVFormatContext;
struct AVInputFormat;
struct AVIOContext;
struct AVDictionary;
struct AVIOInterruptCB;

// What OpenInputFile returns for a directory, FIFO, device or socket named as input (an error
// tag like libavutil's own; its text is "not a regular file").
inline constexpr int AVERROR_NOT_REGULAR_FILE =
    -static_cast<int>('N' | ('R' << 8) | ('E' << 16) | ('G' << 24));

// The prefix of a wrapped name (13 bytes).
inline constexpr char WideURLPrefix[] = "unicode:utf8:";

// Whether libavformat would misread the name: a ":" before the first "/" whose prefix is not a
// known protocol (ours, or one of ":stream:gopher:http:pipe:rtp:tcp:udp:" that libavformat
// really has once it is loaded), a name starting with "subfile,", or a name that does not
// survive the locale's charset. A name with a known protocol prefix is always left alone.
bool NeedsWideProtocol(const QString& fileName);
// The text to give libavformat: the wrapped URL in UTF-8 when NeedsWideProtocol, otherwise the
// name in the locale's charset. Any length; each call returns its own copy.
QByteArray FileNameToURL(const QString& fileName);
// True for "unicode:utf8:" followed by at least one byte.
bool IsWideURL(const char* url);
bool IsWideURL(const QByteArray& url);
// The file name of a wrapped URL, or the text read in the locale's charset (e.g. the url field
// of a format context opened through this unit).
QString URLToFileName(const char* url);
QString URLToFileName(const QByteArray& url);

// Run by the loader after every successful load of avformat. FFmpeg 5.1 has no protocol
// registration; what is set up here, once per process, is the list of libavformat's protocols,
// so that a name like "stream:a.mp3" whose protocol no longer exists is opened as the file it
// can only be.
void RegisterUnicodeProtocol();

// Opens an input like avformat_open_input (same arguments and results; *ic may hold a context
// prepared by the caller, which is freed on failure and *ic set to nullptr). Returns 0 or a
// negative AVERROR. A file name that exists but is no regular file is refused before anything
// is opened, with AVERROR_NOT_REGULAR_FILE. Close with CloseInputFile (AVInputContextPtr does).
int OpenInputFile(AVFormatContext** ic, const QString& name, const AVInputFormat* fmt,
                  AVDictionary** options);
// Closes an input opened by OpenInputFile, freeing our I/O context when it carries one; a
// caller's own custom I/O context is left to the caller. *ic becomes nullptr.
void CloseInputFile(AVFormatContext** ic);

// Gives an output context (from avformat_alloc_output_context2) its file, truncating an
// existing one. Wrapped names get our seekable write I/O (the MP3 muxer seeks back to write its
// Xing/LAME header and the ID3v2 size); others are opened with avio_open2 using the context's
// interrupt callback. Nothing is opened for formats flagged AVFMT_NOFILE. Returns 0 or a
// negative AVERROR.
int OpenOutputFile(AVFormatContext* oc, const QString& name, AVDictionary** options = nullptr);
// Gives an output context an already opened descriptor (a temporary file that will become name)
// through our seekable write I/O. Takes fd: it is closed on failure too. name is what the context
// reports as its url. Returns 0 or a negative AVERROR.
int OpenOutputDescriptor(AVFormatContext* oc, int fd, const QString& name);
// Writes out what the output's I/O buffers hold and, for our I/O, asks the system to put the
// file's data on disk (fsync), so that a rename after the close never exposes a file whose data
// a power loss would take away. Returns 0 or a negative AVERROR (the first write error).
int SyncOutputIO(AVFormatContext* oc);
// Flushes and closes the output's file, keeping the context. Returns 0 or the first write,
// flush or close error (a full disk shows up here at the latest).
int CloseOutputIO(AVFormatContext* oc);
// CloseOutputIO, then frees the context; *oc becomes nullptr. Returns CloseOutputIO's result.
int CloseOutputFile(AVFormatContext** oc);

// A byte stream on a file for callers that need an AVIOContext of their own. avioFlags are
// AVIO_FLAG_READ, AVIO_FLAG_WRITE or AVIO_FLAG_READ_WRITE; writing creates or truncates.
int OpenIOContext(AVIOContext** pb, const QString& name, int avioFlags,
                  const AVIOInterruptCB* interrupt = nullptr, AVDictionary** options = nullptr);
// Closes a context from OpenIOContext (either kind). Returns 0 or the first flush/close error.
int CloseIOContext(AVIOContext** pb);
// Frees a context made with avio_alloc_context, ours or a caller's, with its buffer (no flush).
void FreeIOContext(AVIOContext** pb);
// True when pb is one of our wrapped-name I/O contexts.
bool IsWideIOContext(const AVIOContext* pb);

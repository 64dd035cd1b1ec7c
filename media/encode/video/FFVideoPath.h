#pragma once
// The video path of a run. A decoded picture is pre-processed once per input stream (the input
// hook, frame hooks), then, for each output stream it feeds, filtered or cropped and scaled to
// the output's size and pixel format, synchronised to the output's frame clock (dropped or
// written several times), shown to the output hook and the preview, encoded and written.
//
// Runs on the run's thread only; the only state shared with other threads is the preview
// control (see FFVideoHooks.h) and the stop flag, which it reads.

#include "media/FrameHook.h"
#include "media/encode/TCustomFFmpeg.h"
#include "media/encode/output/FFOutputFile.h"
#include "media/encode/prepare/FFPrepareStreams.h"
#include "media/encode/video/FFVideoFilterGraph.h"
#include "media/encode/video/FFVideoHooks.h"
#include "media/encode/video/FFVideoSync.h"

#include <QFile>

#include <atomic>
#include <functional>
#include <memory>

// What an output video stream keeps for the run.
struct TFFVideoOutput {
    int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0; // pixels of the input
    bool Resample = false;         // the cropped input differs from the output in size or format
    int InWidth = 0, InHeight = 0; // picture size the scaler (or graph) was made for
    int InFormat = -1;             // AVPixelFormat of that picture
    SwsContextPtr Scaler;
    AVFramePtr Scaled;                          // output size and format, reused
    std::unique_ptr<TFFVideoFilterGraph> Graph; // with "vf" or deinterlacing
    AVFramePtr Filtered;                        // the graph's output, reused
    // A picture that reaches the encoder in another size or format than it was opened with
    // (a filter that changes its output size mid-stream) is scaled to the encoder's first.
    SwsContextPtr Fitter;
    AVFramePtr Fitted;
    int SyncMethod = -1;            // "vsync" as resolved for this output (FFVideoSync.h)
    double FrameDuration = 0;       // of an input picture, in encoder frames (at most 1)
    TVideoSyncState Sync;           // the output clock and the frames written
    AVFramePtr Last;                // the last picture synchronised: repeated over gaps
    std::unique_ptr<QFile> PassLog; // pass 1: the encoder's statistics go here
    std::string PassStats;          // pass 2: what the encoder reads (owned here)
};

class TFFVideoPath {
public:
    using TWrite = std::function<void(TFFOutputStream&, AVPacket*)>;

    TFFVideoPath(const TFFOptionState& s, const TFFOptionContexts& c,
                 std::vector<TOutputFile>& outputs,
                 std::vector<TFFOutputExtra>& extras, TFFStreamTables& t,
                 const TFFVideoCallbacks& callbacks, TFFPreviewControl& preview,
                 TFrameHookList& frameHooks, const std::atomic<bool>& stop, TWrite write);

    // Encoding set-up of an output video stream at preparation, before the encoder is opened:
    // crop amounts, scaler or filter graph, two-pass log.
    void SetUp(TFFOutputStream& ost, const TFFInputStream& ist);
    // Pass 1 log of an opened encoder: starts with what the encoder wrote at opening.
    void EncoderOpened(TFFOutputStream& ost);

    // One decoded picture of ist (pts in µs): pre-processing, then every output stream it feeds.
    void Picture(int istIndex, AVFrame* picture, int64_t pts);
    // End of input of an output stream: the graph and the encoder are drained.
    void Flush(TFFOutputStream& ost);

private:
    void PreProcess(TFFInputStream& ist, AVFrame* picture, int64_t pts);
    void Output(TFFOutputStream& ost, const TFFInputStream& ist, AVFrame* picture, int64_t pts);
    void Crop(TFFVideoOutput& v, const AVFrame* in, AVFrame* out) const;
    void MakeScaler(TFFOutputStream& ost, int w, int h, int format);
    void CheckSizeChange(TFFOutputStream& ost, const TFFInputStream& ist, const AVFrame* picture);
    void BuildGraph(TFFOutputStream& ost, int w, int h, int format, AVRational sar, int outWidth,
                    int outHeight);
    // Whatever the graph still holds (a deinterlacer's last picture) goes to the encoder.
    void DrainGraph(TFFOutputStream& ost);
    // One picture ready for the encoder's clock (pts in µs; packetDuration in encoder frames,
    // 0 when unknown): synchronised, then written as often as the clock says.
    void Emit(TFFOutputStream& ost, const AVFrame* picture, int64_t pts, double packetDuration);
    // The picture in the encoder's size and format: itself, or a scaled copy.
    const AVFrame* Fit(TFFOutputStream& ost, const AVFrame* picture);
    void Count(const TVideoSyncResult& r);
    void EncodeFrame(TFFOutputStream& ost, const AVFrame* picture);
    void SendToEncoder(TFFOutputStream& ost, const AVFrame* frame);

    // The scaler flags: "sws_flags" as the option scaler holds it.
    int SwsFlags() const;

    const TFFOptionState& S;
    const TFFOptionContexts& C;
    std::vector<TOutputFile>& Out;
    std::vector<TFFOutputExtra>& OutX;
    TFFStreamTables& T;
    TFFPreviewControl& PreviewControl;
    TFrameHookList& FrameHooks;
    const std::atomic<bool>& StopFlag;
    TWrite Write;

    TFFVideoHook InputHook;
    TFFVideoHook OutputHook;
    TFFVideoPreview Preview;
    std::vector<int64_t> InputFrames; // pictures decoded per input stream
    AVFramePtr Work;                  // the picture as the encoder gets it, reused
    AVFramePtr Cropped;               // a view into the decoded picture, reused
};

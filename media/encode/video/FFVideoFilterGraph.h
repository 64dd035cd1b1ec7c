#pragma once
// The filter graph of an output video stream: buffer source -> [yadif] -> [crop] -> the user's
// chain ("vf") -> [scale to a fixed size] -> format (the encoder's pixel format) -> buffer sink,
// the order of the ffmpeg tool. What comes out (size, pixel aspect, format) is what the encoder
// is set up with; a graph rebuilt for a new input size scales back to that. Pictures go in with
// µs timestamps and come out with µs timestamps. Run's thread only.

#include "media/AVPtr.h"

#include <memory>
#include <string>

struct TFFFilterGraphSetup {
    int Width = 0, Height = 0; // of the pictures going in
    int PixelFormat = -1;      // AVPixelFormat of the pictures going in
    AVRational SampleAspect{0, 1};
    int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
    int OutWidth = 0, OutHeight = 0; // the size the last scale step makes; 0 = no such step
    int SwsFlags = 0;
    bool Deinterlace = false;
    std::string UserChain; // "vf"; may be empty
    int OutPixelFormat = -1;
};

class TFFVideoFilterGraph {
public:
    TFFVideoFilterGraph() = default;
    ~TFFVideoFilterGraph();
    TFFVideoFilterGraph(const TFFVideoFilterGraph&) = delete;
    TFFVideoFilterGraph& operator=(const TFFVideoFilterGraph&) = delete;

    // Raises "Error opening filters: <library message>" when the graph cannot be made.
    void Build(const TFFFilterGraphSetup& setup);
    const TFFFilterGraphSetup& Setup() const { return FSetup; }
    // What the built graph gives: size, pixel aspect, AVPixelFormat.
    int OutputWidth() const;
    int OutputHeight() const;
    AVRational OutputSampleAspect() const;
    int OutputFormat() const;

    // Feeds one picture (pts in µs); nullptr signals the end. Raises on failure.
    void Push(AVFrame* picture);
    // The next filtered picture into out (pts in µs); false when none is ready.
    bool Pull(AVFrame* out);

private:
    void Free();

    TFFFilterGraphSetup FSetup;
    AVFilterGraph* FGraph = nullptr; // owns the two filter contexts below
    AVFilterContext* FSource = nullptr;
    AVFilterContext* FSink = nullptr;
};

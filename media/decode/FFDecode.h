#pragma once
// media/decode/ — the probe (TCustomDecoder, TFFDecoder: stream information of a media file)
// and where a file's audio really ends (AudioExtent).
//
// May include: media/mp3 (the frame index that reads an MP3's end), media/ (the foundation),
// Qt Core. Never media/encode or media/play, which use the probe, nor anything above media/.
//
// Threads: none of its own. A probe is used by one thread at a time; stream probing runs under
// the codec lock.
//
// The media probe layer: TFFDecoder and its record TFileStreamInfo (see TCustomDecoder.h).

#include "media/decode/TFFDecoder.h"

#pragma once
// Opening and closing the player's decoders: the player's decoder options are applied, one
// decoding thread is allowed, and the open and the close run under the codec lock.

#include "media/AVPtr.h"
#include "media/play/FFPlayTypes.h"

// nullptr when the stream has no decoder or it does not open.
AVCodecContextPtr OpenPlayerDecoder(AVStream* st, const TDecoderOptions& options);
void ClosePlayerDecoder(AVCodecContextPtr& ctx);

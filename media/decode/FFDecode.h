#pragma once
// The media probe layer: TFFDecoder and its record TFileStreamInfo (see TCustomDecoder.h).

#include "media/decode/TFFDecoder.h"

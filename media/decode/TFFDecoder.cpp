#include "media/decode/TFFDecoder.h"

TFFDecoder::TFFDecoder(QObject* parent) : TCustomDecoder(parent) {}

TFFDecoder::~TFFDecoder() = default;

#include "media/encode/TFFEncoder.h"

TFFEncoder::TFFEncoder(QObject* parent) : TCustomEncoder(parent) {}

TFFEncoder::~TFFEncoder() {
    Shutdown();
}

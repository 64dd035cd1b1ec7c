#include "media/encode/component/TFFEncoder.h"

TFFEncoder::TFFEncoder(QObject* parent) : TCustomEncoder(parent) {}

TFFEncoder::~TFFEncoder() {
    Shutdown();
}

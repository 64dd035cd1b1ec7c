#pragma once
// The probe that the window, the engine and the player create.

#include "media/decode/TCustomDecoder.h"

class TFFDecoder : public TCustomDecoder {
    Q_OBJECT
public:
    explicit TFFDecoder(QObject* parent = nullptr);
    ~TFFDecoder() override;
};

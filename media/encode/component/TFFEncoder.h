#pragma once
// The encoder component as the application uses it. Everything lives in TCustomEncoder; this
// class exists so that owners name the component, and subclasses can still reach the engine
// callbacks through the base.

#include "media/encode/component/TCustomEncoder.h"

class TFFEncoder : public TCustomEncoder {
    Q_OBJECT
public:
    explicit TFFEncoder(QObject* parent = nullptr);
    ~TFFEncoder() override;
};

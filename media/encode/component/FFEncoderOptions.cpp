#include "media/encode/component/FFEncoderOptions.h"

void InitInputOptions(TInputOptions& options) {
    options = TInputOptions();
}

void InitOutputOptions(TOutputOptions& options) {
    options = TOutputOptions();
}

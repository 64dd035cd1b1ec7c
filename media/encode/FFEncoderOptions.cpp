#include "media/encode/FFEncoderOptions.h"

void InitInputOptions(TInputOptions& options) {
    options = TInputOptions();
}

void InitOutputOptions(TOutputOptions& options) {
    options = TOutputOptions();
}

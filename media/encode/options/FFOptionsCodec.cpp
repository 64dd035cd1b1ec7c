// Codec names given by the user, resolved when a stream is created.

#include "media/encode/TCustomFFmpeg.h"

#include <QString>

const AVCodec* TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder,
                                        int strict) {
    const char* kind = encoder ? "encoder" : "decoder";
    const AVCodec* codec = encoder ? ff::avcodec_find_encoder_by_name(name.c_str())
                                   : ff::avcodec_find_decoder_by_name(name.c_str());
    if (codec == nullptr) {
        FLastErrorText = QString::asprintf("Unknown %s '%s'", kind, name.c_str()).toStdString();
        return nullptr;
    }
    if (codec->type != type) {
        FLastErrorText =
            QString::asprintf("Invalid %s type '%s'", kind, name.c_str()).toStdString();
        return nullptr;
    }
    if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) != 0 &&
        strict > FF_COMPLIANCE_EXPERIMENTAL) {
        std::string text = QString::asprintf("%s '%s' is experimental and might produce bad "
                                             "results.\r\nAdd '-strict experimental' if you "
                                             "want to use it.",
                                             kind, codec->name)
                               .toStdString();
        const AVCodec* usual =
            encoder ? ff::avcodec_find_encoder(codec->id) : ff::avcodec_find_decoder(codec->id);
        if (usual != nullptr && (usual->capabilities & AV_CODEC_CAP_EXPERIMENTAL) == 0)
            text += QString::asprintf("\r\nOr use the non experimental %s '%s'.", kind, usual->name)
                        .toStdString();
        FLastErrorText = text;
        return nullptr;
    }
    return codec;
}

/* A frame hook without Configure and Release: sets the first byte to the picture's width. */
#include "media/FrameHookABI.h"

void Process(void* context, SnipHookPicture* picture, int pixel_format, int width, int height,
             int64_t pts)
{
    (void)context;
    (void)pixel_format;
    (void)height;
    (void)pts;
    picture->data[0][0] = (uint8_t)width;
}

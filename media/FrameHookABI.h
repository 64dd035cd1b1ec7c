#ifndef SNIPWAVE_FRAMEHOOKABI_H
#define SNIPWAVE_FRAMEHOOKABI_H
/* Interface of frame-hook libraries, the shared libraries named by the engine's "vhook" option.
 *
 * A hook library is plain C and exports, by these exact names:
 *   Process   (required) called for every video picture before it is encoded; it may change
 *             the picture's pixels in place.
 *   Configure (required when the hook is given arguments) called once when the hook is added;
 *             it may allocate the hook's own context and store it in *context. argv[0] is the
 *             library's file name, argv[1..argc-1] the hook's arguments. A non-zero result
 *             refuses the hook.
 *   Release   (optional) called once when the engine drops its hooks, with the context.
 *
 * Hooks run on the engine's worker thread; one context is never used by two threads at once.
 * The picture is only valid during the call. This header depends on nothing but the C library
 * so that a hook can be built without FFmpeg's headers; pixel_format is an AVPixelFormat value.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SNIP_FRAMEHOOK_PLANES 4

typedef struct SnipHookPicture {
    uint8_t* data[SNIP_FRAMEHOOK_PLANES]; /* plane pointers; unused planes are NULL */
    int linesize[SNIP_FRAMEHOOK_PLANES];  /* bytes per row of each plane */
} SnipHookPicture;

typedef int (*SnipHookConfigureFn)(void** context, int argc, char* argv[]);
/* pts is the picture's time stamp in microseconds. */
typedef void (*SnipHookProcessFn)(void* context, SnipHookPicture* picture, int pixel_format,
                                  int width, int height, int64_t pts);
typedef void (*SnipHookReleaseFn)(void* context);

#ifdef __cplusplus
}
#endif

#endif

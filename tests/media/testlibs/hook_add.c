/* Adds a constant to every byte of the first plane. "Configure <n>" sets the constant; the
 * argument "refuse" makes Configure fail. Counters let the test see the calls. */
#include "media/FrameHookABI.h"

#include <stdlib.h>
#include <string.h>

typedef struct {
    int delta;
} AddContext;

static int released;
static int configured_argc;

int hook_released(void) { return released; }
int hook_configured_argc(void) { return configured_argc; }

int Configure(void** context, int argc, char* argv[])
{
    configured_argc = argc;
    if (argc > 1 && strcmp(argv[1], "refuse") == 0)
        return 1;
    AddContext* add = calloc(1, sizeof *add);
    if (!add)
        return 1;
    add->delta = argc > 1 ? atoi(argv[1]) : 1;
    *context = add;
    return 0;
}

void Process(void* context, SnipHookPicture* picture, int pixel_format, int width, int height,
             int64_t pts)
{
    (void)pixel_format;
    (void)pts;
    const AddContext* add = context;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            picture->data[0][y * picture->linesize[0] + x] += (uint8_t)add->delta;
}

void Release(void* context)
{
    ++released;
    free(context);
}

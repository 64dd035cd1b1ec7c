/* Reports the next major of libavutil: an ABI our headers do not describe. */
#include <libavutil/version.h>

unsigned avutil_version(void) { return AV_VERSION_INT(LIBAVUTIL_VERSION_MAJOR + 1, 0, 100); }

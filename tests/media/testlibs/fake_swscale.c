/* Looks like libswscale of the right major but lacks sws_scale and everything after it. */
#include <libswscale/version.h>

unsigned swscale_version(void) { return LIBSWSCALE_VERSION_INT; }
void sws_getContext(void) {}
void sws_getCachedContext(void) {}

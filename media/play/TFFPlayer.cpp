#include "media/play/TFFPlayer.h"

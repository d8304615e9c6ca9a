// What the framebuffer applets share: opening the screen through a framebuffer context.
#pragma once

#include "fbmap.h"

namespace vexa {

// Opens a context of type "application/qvl_fb" with the options "debug", "src" (device, may
// be null), "class_name" and "title_name" (the applet's name); the context handle with the
// master map in master_out, or -1 after printing why (nothing left open).
int open_framebuffer(const char *applet, const char *device, int debug,
                     tarvik_fbmap_t **master_out);

} // namespace vexa

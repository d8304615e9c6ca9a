// What the framebuffer applets share: opening the screen through a framebuffer context.
#pragma once

#include "applet.hpp"
#include "fbmap.h"

namespace vexa {

// The help line of every framebuffer applet's "dev|fbdev" option.
constexpr const char *FRAMEBUFFER_DEVICE_HELP =
    "\t    --dev=<device>               : framebuffer device\n";

// An ARGB8888 colour option (any base, 0x for hexadecimal): fallback when it is absent;
// false after a message when it is not a 32-bit number.
bool color_option(const Arguments &arguments, size_t option, uint32_t fallback, uint32_t *out);

// Opens a context of type "application/qvl_fb" with the options "debug", "src" (device, may
// be null), "class_name" and "title_name" (the applet's name); the context handle with the
// master map in master_out, or -1 after printing why (nothing left open).
int open_framebuffer(const char *applet, const char *device, int debug,
                     tarvik_fbmap_t **master_out);

} // namespace vexa

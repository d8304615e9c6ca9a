// C++-only parts of the stream contexts shared by the context module and the base plugin:
// the handle lookup, and the one place that reaches a framebuffer device.
#pragma once

#include "../ctx.h"

#include <cstddef>
#include <cstdint>
#include <linux/fb.h>

namespace tarvik::detail {

// The context of a handle, or null when the handle is not a context.
tarvik_ctx_t *find_ctx(int handle);

// An opened framebuffer device: its descriptor, screen information and mapped memory.
struct FramebufferDevice {
    int m_fd;
    void *m_map;
    size_t m_map_size;
    struct fb_fix_screeninfo m_fix;
    struct fb_var_screeninfo m_var;
};

// Opens the device at path, reads its screen information and maps its memory; false (with
// nothing left open) when any step fails. A machine without a framebuffer device can route
// these two calls to a framebuffer of its own.
bool open_framebuffer_device(const char *path, FramebufferDevice *device);
void close_framebuffer_device(FramebufferDevice *device);

} // namespace tarvik::detail

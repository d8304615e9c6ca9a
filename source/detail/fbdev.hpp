// A framebuffer for machines without one: a file presented as a device, named with
// TARVIK_VIRTUAL_FB=<path>:<width>x<height>x<bits per pixel>.
#pragma once

#include "ctx.hpp"

namespace tarvik::detail {

// The environment variable that names the virtual framebuffer.
constexpr const char *VIRTUAL_FB_VARIABLE = "TARVIK_VIRTUAL_FB";
// The device name the context reports for it.
constexpr const char *VIRTUAL_FB_NAME = "virtual framebuffer";

// Parses "<path>:<width>x<height>x<bits>" (bits 8, 16, 24 or 32; the area within 32 bits);
// false when the text is not such a geometry. path_out receives at most path_size bytes.
bool parse_virtual_framebuffer(const char *text, char *path_out, size_t path_size, uint32_t *width,
                               uint32_t *height, uint32_t *bits);

// Creates or sizes the file to line_length x height bytes, maps it shared and fills the
// screen information as a device of that geometry would (ARGB8888, dRGB0888, dRGB0565, or
// an 8-bit pseudo-colour palette); false with nothing left open on failure.
bool open_virtual_framebuffer(const char *text, FramebufferDevice *device);

} // namespace tarvik::detail

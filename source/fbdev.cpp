// The virtual framebuffer: a file that stands in for the screen memory of a device, with the
// screen information a real device would report for the chosen geometry.
#include "detail/fbdev.hpp"

#include "detail/fbmap.hpp"
#include "detail/text.hpp"
#include "file.h"

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvik::detail {

bool parse_virtual_framebuffer(const char *text, char *path_out, size_t path_size, uint32_t *width,
                               uint32_t *height, uint32_t *bits)
{
    const char *colon = text != nullptr ? strrchr(text, ':') : nullptr;
    if (colon == nullptr || colon == text || static_cast<size_t>(colon - text) >= path_size) {
        return false;
    }
    Cursor cursor = Cursor::of(colon + 1);
    uint64_t w = 0, h = 0, b = 0;
    if (!cursor.decimal(&w, 65535) || !cursor.take_if('x') || !cursor.decimal(&h, 65535) ||
        !cursor.take_if('x') || !cursor.decimal(&b, 32) || !cursor.at_end() || w == 0 || h == 0 ||
        (b != 8 && b != 16 && b != 24 && b != 32) ||
        !area_fits(static_cast<uint32_t>(w * b / 8), static_cast<uint32_t>(h))) {
        return false;
    }
    memcpy(path_out, text, static_cast<size_t>(colon - text));
    path_out[colon - text] = '\0';
    *width = static_cast<uint32_t>(w);
    *height = static_cast<uint32_t>(h);
    *bits = static_cast<uint32_t>(b);
    return true;
}

namespace {

void set_field(struct fb_bitfield *field, uint32_t offset, uint32_t length)
{
    field->offset = offset;
    field->length = length;
    field->msb_right = 0;
}

} // namespace

bool open_virtual_framebuffer(const char *text, FramebufferDevice *device)
{
    memset(device, 0, sizeof(*device));
    device->m_fd = -1;
    char path[4096];
    uint32_t width = 0, height = 0, bits = 0;
    if (!parse_virtual_framebuffer(text, path, sizeof(path), &width, &height, &bits)) {
        return false;
    }
    const uint32_t line_length = width * (bits / 8);
    const size_t size = static_cast<size_t>(line_length) * height;
    device->m_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (device->m_fd < 0) {
        return false;
    }
    struct stat status;
    if (fstat(device->m_fd, &status) != 0 ||
        (static_cast<uint64_t>(status.st_size) != size &&
         ftruncate(device->m_fd, static_cast<off_t>(size)) != 0)) {
        device->m_fd = tarvik_close(device->m_fd);
        return false;
    }
    device->m_map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, device->m_fd, 0);
    if (device->m_map == MAP_FAILED) {
        device->m_map = nullptr;
        device->m_fd = tarvik_close(device->m_fd);
        return false;
    }
    device->m_map_size = size;
    struct fb_fix_screeninfo &fix = device->m_fix;
    memcpy(fix.id, "virtual fb", sizeof("virtual fb"));
    fix.smem_len = static_cast<uint32_t>(size);
    fix.type = FB_TYPE_PACKED_PIXELS;
    fix.visual = bits == 8 ? FB_VISUAL_PSEUDOCOLOR : FB_VISUAL_TRUECOLOR;
    fix.line_length = line_length;
    struct fb_var_screeninfo &var = device->m_var;
    var.xres = var.xres_virtual = width;
    var.yres = var.yres_virtual = height;
    var.bits_per_pixel = bits;
    switch (bits) {
    case 32:
        set_field(&var.transp, 24, 8);
        [[fallthrough]];
    case 24:
        set_field(&var.red, 16, 8);
        set_field(&var.green, 8, 8);
        set_field(&var.blue, 0, 8);
        break;
    case 16:
        set_field(&var.red, 11, 5);
        set_field(&var.green, 5, 6);
        set_field(&var.blue, 0, 5);
        break;
    default:
        set_field(&var.red, 0, 8);
        set_field(&var.green, 0, 8);
        set_field(&var.blue, 0, 8);
        break;
    }
    var.height = var.width = 0xFFFFFFFFu; // physical size unknown, as drivers report it
    return true;
}

} // namespace tarvik::detail

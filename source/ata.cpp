// ATA identity texts of a disk through HDIO_GET_IDENTITY. Holds no state.
#include "ata.h"

#include "detail/ata.hpp"
#include "detail/text.hpp"

#include <cstring>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvik::detail {

namespace {

// Trims white space at both ends, turns every inner run into one "_" and shows other
// control bytes as "?"; cut to size.
void identity_text(const uint8_t *bytes, size_t length, char *out, size_t size)
{
    if (out == nullptr) {
        return;
    }
    Writer writer(out, size);
    bool gap = false;
    for (size_t index = 0; index < length; ++index) {
        int c = bytes[index];
        if (c == '\0' || is_space(c)) {
            gap = writer.length() > 0;
            continue;
        }
        if (gap) {
            writer.put('_');
            gap = false;
        }
        writer.put(c < 0x20 || c > 0x7e ? '?' : static_cast<char>(c));
    }
}

const char *kind(const uint8_t *block)
{
    uint16_t word;
    memcpy(&word, block, sizeof(word));
    unsigned high = word >> 8;
    if (high < 0x80) {
        return "disk";
    }
    switch (high & 0x1Fu) {
    case 1:
        return "tape";
    case 7:
        return "optical";
    case 0:
    case 5:
        return "cd";
    default:
        return "generic";
    }
}

} // namespace

void ata_identity_texts(const uint8_t *block, char *type, size_t type_size, char *model,
                        size_t model_size, char *serial, size_t serial_size, char *firmware,
                        size_t firmware_size)
{
    if (type != nullptr) {
        Writer(type, type_size).puts(kind(block));
    }
    identity_text(block + 54, 40, model, model_size);
    identity_text(block + 20, 20, serial, serial_size);
    identity_text(block + 46, 8, firmware, firmware_size);
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_get_ata_identity_string(const char *path, char *type, size_t type_size,
                                              char *model, size_t model_size, char *serial,
                                              size_t serial_size, char *firmware,
                                              size_t firmware_size)
{
    // Only a block device is opened: opening some character devices (a watchdog, a tape)
    // has effects of its own.
    struct stat status;
    if (path == nullptr || stat(path, &status) != 0 || !S_ISBLK(status.st_mode)) {
        return -1;
    }
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return -1;
    }
    uint8_t block[tarvik::detail::ATA_IDENTITY_SIZE] = {};
    int result = ioctl(descriptor, HDIO_GET_IDENTITY, block);
    close(descriptor);
    if (result != 0) {
        return -1;
    }
    tarvik::detail::ata_identity_texts(block, type, type_size, model, model_size, serial,
                                       serial_size, firmware, firmware_size);
    return 0;
}

} // extern "C"

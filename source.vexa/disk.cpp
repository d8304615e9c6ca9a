// The disk applets: df (usage of every mounted file system) and stat (the status of one file,
// with its device, mount, block-device sizes and ATA identity).
#include "applet.hpp"
#include "applets.h"

#include "ata.h"
#include "console.h"
#include "date.h"
#include "file.h"

#include "detail/common.hpp"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// ---- df ---------------------------------------------------------------------------------------

// A size in bytes brought below 100000 by steps of 1024, with its unit letter.
char scale(uint64_t *size)
{
    static constexpr char UNITS[] = "BKMGT";
    size_t unit = 0;
    while (*size >= 100000u && unit + 1 < sizeof(UNITS) - 1) {
        *size /= 1024u;
        ++unit;
    }
    return UNITS[unit];
}

void print_usage_line(const struct mntent *entry, const struct statfs &figures)
{
    uint64_t unit = figures.f_frsize != 0 ? figures.f_frsize : figures.f_bsize;
    uint64_t sizes[3] = {figures.f_blocks * unit, (figures.f_blocks - figures.f_bfree) * unit,
                         figures.f_bavail * unit};
    uint64_t shown = sizes[1] + sizes[2];
    int percent = shown != 0 ? static_cast<int>(sizes[1] * 10000u / shown) : 0;
    char letters[3];
    for (int index = 0; index < 3; ++index) {
        letters[index] = scale(&sizes[index]);
    }
    char device[256];
    char directory[256];
    tarvik_printf("\e[1;35m%-16s\e[0m \e[1;33m%10s\e[0m \e[1;37m%5lu\e[1;36m%c\e[0m "
                  "\e[1;37m%5lu\e[1;36m%c\e[0m \e[1;37m%5lu\e[1;36m%c\e[0m "
                  "\e[1;37m%3d.%02d\e[1;36m%%\e[0m \e[1;34m%s\e[0m\n",
                  vexa::printable(entry->mnt_fsname, device, sizeof(device)), entry->mnt_type,
                  static_cast<unsigned long>(sizes[0]), letters[0],
                  static_cast<unsigned long>(sizes[1]), letters[1],
                  static_cast<unsigned long>(sizes[2]), letters[2], percent / 100, percent % 100,
                  vexa::printable(entry->mnt_dir, directory, sizeof(directory)));
}

// ---- stat -------------------------------------------------------------------------------------

const char *type_name(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "regular file";
    case S_IFDIR:
        return "directory";
    case S_IFLNK:
        return "symbolic link";
    case S_IFCHR:
        return "character device";
    case S_IFBLK:
        return "block device";
    case S_IFIFO:
        return "FIFO";
    case S_IFSOCK:
        return "socket";
    default:
        return "unknown";
    }
}

void print_time(const char *label, time_t seconds)
{
    struct tm local;
    char text[64];
    if (localtime_r(&seconds, &local) == nullptr) {
        tarvik_printf("%s%lld\n", label, static_cast<long long>(seconds));
        return;
    }
    tarvik_printf("%s%s\n", label, tarvik_asctime(text, sizeof(text), &local, 0));
}

// Looks for the block device node numbered device under directory (and below it, a few
// levels deep, links left alone); true with its path in found.
bool find_device_node(const char *directory, dev_t device, int depth, char *found, size_t size)
{
    DIR *listing = opendir(directory);
    if (listing == nullptr) {
        return false;
    }
    bool done = false;
    for (struct dirent *entry; !done && (entry = readdir(listing)) != nullptr;) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        tarvik::detail::Writer path(found, size);
        path.puts(directory).put('/').puts(entry->d_name);
        struct stat status;
        if (path.truncated() || lstat(found, &status) != 0) {
            continue;
        }
        if (S_ISBLK(status.st_mode) && status.st_rdev == device) {
            done = true;
        } else if (S_ISDIR(status.st_mode) && depth > 0) {
            char below[PATH_MAX];
            memcpy(below, found, strlen(found) + 1);
            done = find_device_node(below, device, depth - 1, found, size);
        }
    }
    closedir(listing);
    return done;
}

// The mount-table entry of the file system numbered device; the last one wins, as a later
// mount hides an earlier one on the same place.
void print_mount(dev_t device)
{
    FILE *table = tarvik_setmntent(nullptr, nullptr);
    if (table == nullptr) {
        return;
    }
    char fsname[256] = "";
    char type[64] = "";
    char options[512] = "";
    for (struct mntent *entry; (entry = tarvik_getmntent(table)) != nullptr;) {
        struct stat status;
        if (stat(entry->mnt_dir, &status) == 0 && status.st_dev == device) {
            vexa::printable(entry->mnt_fsname, fsname, sizeof(fsname));
            vexa::printable(entry->mnt_type, type, sizeof(type));
            vexa::printable(entry->mnt_opts, options, sizeof(options));
        }
    }
    tarvik_endmntent(table);
    if (fsname[0] != '\0') {
        tarvik_printf("mount device entry:       %s\nfilesystem:               %s\n"
                      "mount options:            %s\n",
                      fsname, type, options);
    }
}

// Sizes the kernel reports for a block device. The byte size is asked for directly: the sector
// count is in 512-byte units whatever the device's sector size, so it times that size is no
// size at all on a 4096-byte-sector disk.
void print_block_sizes(const char *path)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    unsigned long sectors = 0;
    int sector_size = 0;
    uint64_t bytes = 0;
    if (ioctl(descriptor, BLKGETSIZE, &sectors) == 0) {
        tarvik_printf("BLKGETSIZE:               %lu\n", sectors);
        bytes = static_cast<uint64_t>(sectors) * 512u;
    }
    if (ioctl(descriptor, BLKSSZGET, &sector_size) == 0) {
        tarvik_printf("BLKSSZGET:                %d\n", sector_size);
    }
    if (ioctl(descriptor, BLKGETSIZE64, &bytes) == 0 || bytes != 0) {
        tarvik_printf("BLKGETSIZE64:             %llu\n", static_cast<unsigned long long>(bytes));
    }
    close(descriptor);
}

void print_identity(const char *path)
{
    char type[16];
    char model[64];
    char serial[32];
    char firmware[16];
    if (tarvik_get_ata_identity_string(path, type, sizeof(type), model, sizeof(model), serial,
                                       sizeof(serial), firmware, sizeof(firmware)) == 0) {
        tarvik_printf("ATA-TYPE:                 %s\nATA-MODEL-NAME:           %s\n"
                      "ATA-SERIAL-NUMBER:        %s\nATA-FIRMWARE-REVISION:    %s\n",
                      type, model, serial, firmware);
    }
}

void print_status(const char *path, const struct stat &status)
{
    char name[PATH_MAX];
    tarvik_printf("File:                     \"%s\"\nFile type:                %s\n",
                  vexa::printable(path, name, sizeof(name)), type_name(status.st_mode));
    tarvik_printf(
        "I-node number:            %llu\nMode:                     %lo (octal)\n"
        "Link count:               %lu\nOwnership:                UID=%lu   GID=%lu\n"
        "Preferred I/O block size: %ld bytes\nFile size:                %lld bytes\n"
        "Blocks allocated:         %lld\n",
        static_cast<unsigned long long>(status.st_ino), static_cast<unsigned long>(status.st_mode),
        static_cast<unsigned long>(status.st_nlink), static_cast<unsigned long>(status.st_uid),
        static_cast<unsigned long>(status.st_gid), static_cast<long>(status.st_blksize),
        static_cast<long long>(status.st_size), static_cast<long long>(status.st_blocks));
    print_time("Last status change:       ", status.st_ctime);
    print_time("Last file access:         ", status.st_atime);
    print_time("Last file modification:   ", status.st_mtime);
    tarvik_printf("dev/rdev:                 %d.%d / %d.%d\n",
                  static_cast<int>(major(status.st_dev)), static_cast<int>(minor(status.st_dev)),
                  static_cast<int>(major(status.st_rdev)), static_cast<int>(minor(status.st_rdev)));
    char node[PATH_MAX];
    // Major 0 numbers file systems without a device (tmpfs, proc, overlays).
    if (major(status.st_dev) != 0 &&
        find_device_node("/dev", status.st_dev, 2, node, sizeof(node))) {
        tarvik_printf("device entry:             %s\n", vexa::printable(node, name, sizeof(name)));
    }
    print_mount(status.st_dev);
    // Only block devices are opened: opening a character device (a watchdog, a tape) can
    // have effects of its own, and no other file answers these queries.
    if (S_ISBLK(status.st_mode)) {
        print_block_sizes(path);
        print_identity(path);
    }
}

} // namespace

int tarvik_multicall_df_main(int argc, char **argv)
{
    FILE *table = tarvik_setmntent(nullptr, nullptr);
    if (table == nullptr) {
        tarvik_error_printf("can not open the mount table !\n");
        return 1;
    }
    for (struct mntent *entry; (entry = tarvik_getmntent(table)) != nullptr;) {
        struct statfs figures;
        if (entry->mnt_fsname[0] != '\0' && entry->mnt_dir[0] != '\0' &&
            statfs(entry->mnt_dir, &figures) == 0) {
            print_usage_line(entry, figures);
        }
    }
    tarvik_endmntent(table);
    return vexa::output_ok(argc > 0 ? argv[0] : "df") ? 0 : 1;
}

int tarvik_multicall_stat_main(int argc, char **argv)
{
    if (argc < 2) {
        tarvik_printf("Usage: %s <pathname>\n", argc > 0 ? argv[0] : "stat");
        return 1;
    }
    struct stat status;
    if (lstat(argv[1], &status) != 0) {
        perror("stat");
        return 1;
    }
    print_status(argv[1], status);
    return vexa::output_ok(argv[0]) ? 0 : 1;
}

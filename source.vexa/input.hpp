// Inputs and outputs of the stream applets (sums, encoders, cat, dump): a name from the command
// line or standard input ("stdin") for reading, a path or standard output for writing. A
// name with a scheme ("tftp://host/file", "ftp://...", "pipe://command") is read through a
// stream context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace vexa {

// The applets read and write in pieces of this size.
constexpr size_t PIECE_SIZE = 65536;

// Opens name for reading (null: standard input; a URL through a stream context, its traces
// shown with debug); a handle, or -1.
int open_input(const char *name, bool debug);
// Reads one piece, waiting for readability in 1000 ms steps: bytes read, 0 at the end of the
// stream, -1 on a read error.
ssize_t read_input(int input, void *buffer, size_t size);
// The stream's total size when it knows it, else -1.
int64_t input_size(int input);
// Moves offset bytes into the stream (reading them away when it cannot seek); false when the
// stream ends or fails before.
bool skip_input(int input, uint64_t offset);
// Closes a handle (-1 accepted); returns -1 for storing back.
int close_input(int input);

// Opens path for writing, created or truncated (null: standard output); a handle, or -1.
int open_output(const char *path);
// Writes everything; false when the stream refused some of it.
bool write_output(int output, const void *data, size_t size);
// Closes a handle (-1 accepted; standard output is flushed, not closed); -1 for storing back.
int close_output(int output);
// True when name and path are the same file (by name, or by device and inode).
bool same_file(const char *name, const char *path);

} // namespace vexa

// Files the program rewrites are written beside the old one and renamed over it, so a crash or a
// full disk never leaves half a file. Files it reads are read only when they are regular files, and
// only up to what their format can need: a FIFO, a device or a link to one never hangs it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace ravenox::platform {

// Writes `content` to `path` atomically: a temporary file in the same folder, flushed to disk, then
// renamed over `path`. A new file gets `mode`; a replaced one keeps its own. Throws
// std::system_error (message names the file) on failure; the previous file is then left whole.
// `durable` files are flushed to the disk before the rename; views for people need not be.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view content,
                         mode_t mode = 0644, bool durable = true);

// Removes the temporaries WriteFileAtomically leaves beside `path` when the program is killed
// between writing one and renaming it. Only for a file nobody else is writing at the moment.
void RemoveStaleTemporaries(const std::filesystem::path& path);

// Opens `path` for reading, without blocking, and only if it is a regular file. Returns -1 with
// errno ENOENT when there is no such file; throws std::system_error (naming the file) when it
// cannot be opened or is not a regular file.
int OpenRegularFile(const std::filesystem::path& path);

// Reads the whole of a regular file of at most `limit` bytes into `out`. False when there is no
// such file; throws std::system_error when it cannot be read, is not a regular file or is larger.
bool ReadRegularFile(const std::filesystem::path& path, std::size_t limit, std::string& out);

// The first `limit` bytes (or fewer) of a regular file; empty when there is no such file, it is
// not a regular file or it cannot be read. Never blocks on a FIFO or reads a device without end.
std::string ReadFileHead(const std::filesystem::path& path, std::size_t limit);

}  // namespace ravenox::platform

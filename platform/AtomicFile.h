// Files the program rewrites are written beside the old one and renamed over it, so a crash or a
// full disk never leaves half a file. Files it reads are read only when they are regular files, and
// only up to what their format can need: a FIFO, a device or a link to one never hangs it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
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

// Whether the user made `path` read-only (no write permission for anyone, or none for this
// account): such a file is left exactly as it is. False when it is missing.
bool IsReadOnlyFile(const std::filesystem::path& path);

// Appends `text` to a regular, writable file that must still be `expected_size` bytes long (so
// that it still holds what this program wrote). False when it is not, or the write fails.
bool AppendIfUnchanged(const std::filesystem::path& path, uint64_t expected_size,
                       std::string_view text);

// Takes from others what they may do with a regular file of the user's that is not read-only
// (files of earlier runs may have been readable by all). Nothing where the folder decides.
void KeepToOwner(const std::filesystem::path& path);

}  // namespace ravenox::platform

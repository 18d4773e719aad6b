// Files the program rewrites are written beside the old one and renamed over it, so a crash or a
// full disk never leaves half a file.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace ravenox::platform {

// Writes `content` to `path` atomically: a temporary file in the same folder, flushed to disk, then
// renamed over `path`. A new file gets `mode`; a replaced one keeps its own. Throws
// std::system_error (message names the file) on failure; the previous file is then left whole.
// `durable` files are flushed to the disk before the rename; views for people need not be.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view content,
                         mode_t mode = 0644, bool durable = true);

}  // namespace ravenox::platform

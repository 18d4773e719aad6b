// Small pieces the mail rooms share: the outbox, and the local store's inbox.
#pragma once

#include <filesystem>
#include <string>

namespace outlook::outbox {

// GMime wants one initialisation per process before its first use.
void EnsureGMime();

// Creates a Maildir's tmp/, new/ and cur/ when missing.
void MakeMaildir(const std::filesystem::path& dir);

// Text from other people for a line people read (a status line, a log): valid UTF-8, control
// characters (C0 and C1, NUL too) as blanks, and unless `drop_format` is false no format
// characters (bidirectional overrides and isolates, zero width marks), which would reorder or
// hide what the line shows.
std::string DisplayText(const std::string& text, bool drop_format = true);

}  // namespace outlook::outbox

// Small pieces the local store's parts share.
#pragma once

#include <filesystem>

namespace outlook::localstore {

// GMime wants one initialisation per process before its first use.
void EnsureGMime();

// Creates a Maildir's tmp/, new/ and cur/ when missing.
void MakeMaildir(const std::filesystem::path& dir);

}  // namespace outlook::localstore

#include "outlook/localstore/Support.h"

#include <gmime/gmime.h>

namespace outlook::localstore {

void EnsureGMime() {
  static const bool ready = [] {
    g_mime_init();
    return true;
  }();
  (void)ready;
}

void MakeMaildir(const std::filesystem::path& dir) {
  for (const char* sub : {"tmp", "new", "cur"}) std::filesystem::create_directories(dir / sub);
}

}  // namespace outlook::localstore

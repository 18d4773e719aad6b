#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "tools/support/SupportTool.h"

namespace {

// Reading a whole calendar or task list, the threads' heaps take thousands of small blocks (a
// vdir's files, the items' texts) and grow a page at a time, a page fault each; on a virtual
// machine a fault costs as much as reading a file. With large pages and room to grow they fault
// a fifth as often. The C library takes these settings only from the environment as a program
// starts, so the tool starts itself again once with them, and puts the environment back after.
constexpr const char* kRestarted = "RAVENOX_INSPECT_HEAP";

void StartWithRoomyHeaps(char** argv) {
  if (const char* before = std::getenv(kRestarted)) {
    // "=" and what the settings were before ("" when there were none).
    if (before[0] == '=' && before[1] != '\0') {
      setenv("GLIBC_TUNABLES", before + 1, 1);
    } else {
      unsetenv("GLIBC_TUNABLES");
    }
    unsetenv(kRestarted);
    return;
  }
  const char* own = std::getenv("GLIBC_TUNABLES");
  std::string tunables = own != nullptr ? std::string(own) + ":" : std::string();
  tunables += "glibc.malloc.hugetlb=1:glibc.malloc.top_pad=16777216";
  if (setenv(kRestarted, ("=" + std::string(own != nullptr ? own : "")).c_str(), 1) != 0 ||
      setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0)
    return;
  execv("/proc/self/exe", argv);
  // Where that fails, as it is.
  unsetenv(kRestarted);
  if (own != nullptr) {
    setenv("GLIBC_TUNABLES", own, 1);
  } else {
    unsetenv("GLIBC_TUNABLES");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "calendar") == 0 || std::strcmp(argv[1], "tasks") == 0))
    StartWithRoomyHeaps(argv);
  std::setlocale(LC_ALL, "");
  ravenox::shell::LeaveStoreToExit();
  return ravenox::shell::RunInspect(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                    std::cerr);
}

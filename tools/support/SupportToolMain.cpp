#include <clocale>
#include <iostream>

#include "tools/support/SupportTool.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return ravenox::shell::RunInspect(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                    std::cerr);
}

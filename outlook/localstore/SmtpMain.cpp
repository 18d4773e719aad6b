#include <clocale>

#include "outlook/localstore/Profile.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return outlook::localstore::SmtpMain(std::vector<std::string>(argv + 1, argv + argc));
}

// The local store's tests: calendars written into a scratch folder, read in one known zone.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "EngineFakes.h"

namespace outlook::localstore {

// Every test runs in one known zone, so wall-clock results can be written down.
class LocalStore : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/New_York", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
  std::filesystem::path Write(const std::string& name, const std::string& text) {
    const auto path = dir_.path() / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string Calendar(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + body + "END:VCALENDAR\r\n";
  }
  static std::string Event(const std::string& props) {
    return "BEGIN:VEVENT\r\nUID:" + std::to_string(++uid_) + "\r\n" + props + "END:VEVENT\r\n";
  }
  ravenox::testing::TempDir dir_;
  static inline int uid_ = 0;
};

// The Unix time of local midnight on that day.
inline time_t Midnight(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

}  // namespace outlook::localstore

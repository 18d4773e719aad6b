// The outbox's tests share a scratch outbox and a stand-in sendmail.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DesktopPeers.h"
#include "EngineFakes.h"
#include "SmtpSink.h"
#include "outlook/outbox/Sender.h"

namespace outlook::outbox::testing {

using namespace std::chrono_literals;
using ravenox::testing::Count;
using ravenox::testing::FreePort;
using ravenox::testing::HaveSmtpTools;
using ravenox::testing::PortOpen;
using ravenox::testing::ReadAll;
using ravenox::testing::SmtpSink;
using ravenox::testing::TempDir;
using ravenox::testing::TestCertificate;

inline int Files(const std::filesystem::path& dir) {
  int n = 0;
  std::error_code ec;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir, ec)) ++n;
  return n;
}

// A stand-in sendmail: records its arguments and the message, and exits as told.
inline std::filesystem::path FakeSendmail(const std::filesystem::path& dir, int exit_status,
                                          const std::string& extra = "") {
  const auto script = dir / "sendmail";
  std::ofstream(script) << "#!/bin/sh\n"
                        << "printf '%s\\n' \"$@\" > " << (dir / "argv").string() << "\n"
                        << "cat > " << (dir / "stdin").string() << "\n"
                        << extra << "echo 'relay said no' >&2\nexit " << exit_status << "\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return script;
}

inline std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

inline SendSettings Settings(const std::filesystem::path& dir, std::vector<std::string> sendmail) {
  SendSettings s;
  s.outbox = dir / "Outbox";
  s.sent = dir / "Sent";
  s.from = "ravenox@example.org";
  s.sendmail = std::move(sendmail);
  s.timeout = 5s;
  return s;
}

}  // namespace outlook::outbox::testing

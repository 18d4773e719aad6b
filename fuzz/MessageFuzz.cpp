// Mail headers read from the inbox, and the message composed from them for the phone: any mail is
// read without harm, and the message sent for it has exactly its own headers, once each, in 7-bit
// lines of at most 998 bytes, whatever the subject and sender say.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>

#include "../tests/EngineFakes.h"
#include "outlook/OutlookModel.h"
#include "outlook/localstore/Maildir.h"
#include "outlook/outbox/Sender.h"
#include "platform/AtomicFile.h"

using namespace ravenox;

namespace {

testing::TempDir* folder = nullptr;

void CheckComposed(const std::string& subject, const std::string& body) {
  std::string message;
  try {
    message = outlook::outbox::ComposeMessage("Ravenox <r@example.org>", "5551234567@vtext.com",
                                              subject, body);
  } catch (const outlook::AutomationError&) {
    std::abort();  // every text must be sendable
  }
  const std::size_t end = message.find("\n\n");
  if (end == std::string::npos) std::abort();
  std::istringstream lines(message.substr(0, end + 1));
  std::map<std::string, int> seen;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > 998) std::abort();
    for (const char c : line) {
      if (static_cast<unsigned char>(c) >= 0x80) std::abort();
    }
    if (line.empty() || line[0] != ' ') ++seen[line.substr(0, line.find(':'))];
  }
  const std::map<std::string, int> meant = {{"From", 1},         {"To", 1},
                                            {"Subject", 1},      {"Date", 1},
                                            {"Message-ID", 1},   {"MIME-Version", 1},
                                            {"Content-Type", 1}, {"Content-Transfer-Encoding", 1}};
  if (seen != meant) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = new testing::TempDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const auto file = folder->path() / "message";
  platform::WriteFileAtomically(file, bytes, 0600, /*durable=*/false);
  const auto mail = outlook::localstore::ReadMessageHeaders(file);
  CheckComposed(RecordText("Urgent Email:" + mail.subject + " From:" + mail.sender_name), "");
  // The raw bytes as a meeting's text and as a test message's body.
  CheckComposed(RecordText(bytes), bytes);
  return 0;
}

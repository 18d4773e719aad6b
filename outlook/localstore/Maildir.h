// An inbox kept as a Maildir (as mbsync, offlineimap and notmuch keep it). Only the headers of a
// message are read, once per message file; a pass over an unchanged Maildir opens no message.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/DateTime.h"

namespace outlook::localstore {

struct MessageData {
  bool unread = true;
  int importance = 1;  // 0 low, 1 normal, 2 high
  ravenox::TDateTime received;
  std::string subject, sender_name;
};

class MaildirInbox {
 public:
  explicit MaildirInbox(std::filesystem::path dir);
  // Lists the messages again when new/ or cur/ changed.
  void Refresh();
  std::size_t Count() const { return order_.size(); }
  const MessageData& Message(std::size_t index) const { return *order_.at(index); }
  std::size_t UnreadCount() const;
  // Message files opened since the inbox was made (for tests and benchmarks).
  std::size_t Opened() const { return opened_; }

 private:
  struct Entry {
    std::string file;  // path of the message file
    MessageData data;
  };
  std::filesystem::path dir_;
  timespec new_stamp_{}, cur_stamp_{};
  bool listed_ = false;
  std::map<std::string, Entry> entries_;  // by the message's unique name
  std::vector<const MessageData*> order_;
  std::size_t opened_ = 0;
};

// Reads the headers of one message file (the part before the first empty line).
MessageData ReadMessageHeaders(const std::filesystem::path& file);

}  // namespace outlook::localstore

// `ravenox-smtp`: the sendmail-compatible program that submits a text through the account the
// store's profile names.
#include <iostream>
#include <iterator>

#include "outlook/localstore/Profile.h"
#include "outlook/outbox/Compose.h"
#include "outlook/outbox/Smtp.h"

namespace outlook::localstore {
namespace {

constexpr int kExitTemporary = 75, kExitRefused = 69;

}  // namespace

int SmtpMain(const std::vector<std::string>& args) {
  std::filesystem::path profile_path;
  std::string to;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--profile" && i + 1 < args.size()) {
      profile_path = args[++i];
    } else if (args[i] == "--" && i + 1 < args.size()) {
      to = args[++i];
    }
  }
  if (profile_path.empty() || to.empty()) {
    std::cerr
        << "usage: ravenox-smtp --profile FILE -- RECIPIENT  (the message on standard input)\n";
    return kExitRefused;
  }
  try {
    const StoreProfile profile = LoadProfile(profile_path);
    if (profile.smtp.server.empty()) {
      std::cerr << profile_path.string() << ": no smtp_server\n";
      return kExitRefused;
    }
    // The message first: nothing else may read the standard input before it is whole.
    const std::string message(std::istreambuf_iterator<char>(std::cin), {});
    if (message.find_first_not_of(" \t\r\n") == std::string::npos) {
      std::cerr << "the message is empty; nothing was submitted\n";
      return kExitRefused;
    }
    const std::string password =
        profile.smtp.user.empty() ? std::string() : outbox::AccountPassword(profile.smtp);
    std::string from = profile.from;
    if (const auto lt = from.find('<'); lt != std::string::npos)
      from = from.substr(lt + 1, from.find('>', lt) - lt - 1);
    const std::string error = outbox::SubmitMessage(profile.smtp, password, from, to, message);
    if (error.empty()) return 0;
    std::cerr << error << "\n";
    return kExitTemporary;
  } catch (const std::exception& e) {
    std::cerr << outbox::HeaderSafe(e.what()) << "\n";
    return kExitRefused;
  }
}

}  // namespace outlook::localstore

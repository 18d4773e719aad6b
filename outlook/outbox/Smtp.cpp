#include "outlook/outbox/Smtp.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <libsecret/secret.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "outlook/outbox/Sender.h"

namespace outlook::outbox {
namespace {

const SecretSchema* AccountSchema() {
  static const SecretSchema schema = {"org.brindlemoor.Ravenox.MailAccount",
                                      SECRET_SCHEMA_NONE,
                                      {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                      0,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr};
  return &schema;
}

}  // namespace

// Nothing on its standard input: it must not take what is meant for another (ravenox-smtp's
// message). One that lingers after closing its output is stopped as one that never writes is.
std::string CommandFirstLine(const std::vector<std::string>& argv,
                             std::chrono::milliseconds timeout) {
  int out[2];
  if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("no password command");
  const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (nothing >= 0) dup2(nothing, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  if (nothing >= 0) close(nothing);
  close(out[1]);
  std::string text;
  char buffer[512];
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left_ms = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
        .count();
  };
  bool late = false;
  while (text.size() < 65536) {
    pollfd p{out[0], POLLIN, 0};
    if (left_ms() <= 0 || poll(&p, 1, static_cast<int>(std::max<long long>(left_ms(), 0))) == 0) {
      late = true;
      break;
    }
    const ssize_t r = read(out[0], buffer, sizeof buffer);
    if (r <= 0) break;
    text.append(buffer, static_cast<std::size_t>(r));
  }
  close(out[0]);
  int status = 0;
  while (!late) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    if (left_ms() <= 0) {
      late = true;
      break;
    }
    usleep(5000);
  }
  if (late) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    throw std::runtime_error("the password command did not finish in time");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("the password command failed");
  return text.substr(0, text.find('\n'));
}

namespace {

size_t ReadMessage(char* buffer, size_t size, size_t count, void* data) {
  auto* left = static_cast<std::string_view*>(data);
  const std::size_t n = std::min(size * count, left->size());
  std::memcpy(buffer, left->data(), n);
  left->remove_prefix(n);
  return n;
}

}  // namespace

std::string AccountPassword(const SmtpAccount& account) {
  GError* error = nullptr;
  gchar* secret =
      secret_password_lookup_sync(AccountSchema(), nullptr, &error, "server",
                                  account.server.c_str(), "user", account.user.c_str(), nullptr);
  if (secret != nullptr) {
    std::string password = secret;
    secret_password_free(secret);
    return password;
  }
  const std::string why = error != nullptr ? error->message : "none stored";
  g_clear_error(&error);
  if (!account.password_command.empty())
    return CommandFirstLine(account.password_command, kPasswordCommandLimit);
  throw std::runtime_error("no password for " + account.user + " at " + account.server +
                           " in the Secret Service (" + why + ") and no password_command");
}

bool StorePassword(const SmtpAccount& account, const std::string& password, std::string& error) {
  GError* e = nullptr;
  const std::string label = "Ravenox mail account " + account.user + " at " + account.server;
  const gboolean ok = secret_password_store_sync(
      AccountSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), nullptr, &e,
      "server", account.server.c_str(), "user", account.user.c_str(), nullptr);
  if (!ok) error = e != nullptr ? e->message : "the Secret Service did not store it";
  g_clear_error(&e);
  return ok != FALSE;
}

std::string SubmitMessage(const SmtpAccount& account, const std::string& password,
                          const std::string& from, const std::string& to,
                          const std::string& message) {
  // Nothing in an address, the server's name or the login may end the command it stands in.
  auto plain = [](const std::string& a, bool may_be_empty) {
    return (may_be_empty || !a.empty()) && std::none_of(a.begin(), a.end(), [](char ch) {
             const auto u = static_cast<unsigned char>(ch);
             return u < 0x20 || u == 0x7F || ch == ' ' || ch == '<' || ch == '>';
           });
  };
  if (!plain(from, false) || !plain(to, false))
    return "the sender or the recipient is not a plain address";
  if (!plain(account.server, false) || !plain(account.user, true) ||
      std::any_of(password.begin(), password.end(),
                  [](char ch) { return ch == '\r' || ch == '\n' || ch == '\0'; }))
    return "the server, the user or the password holds a character a mail server cannot take";
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) return "the SMTP library could not start";
  CURL* c = curl_easy_init();
  if (c == nullptr) return "the SMTP library could not start";
  const std::string url = std::string(account.implicit_tls ? "smtps://" : "smtp://") +
                          account.server + ":" + std::to_string(account.port);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  // TLS always, from the start or by STARTTLS; a server without it is refused.
  curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!account.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, account.ca_file.c_str());
  if (!account.user.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, account.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
  }
  const std::string envelope_from = "<" + from + ">";
  curl_easy_setopt(c, CURLOPT_MAIL_FROM, envelope_from.c_str());
  curl_slist* recipients = curl_slist_append(nullptr, ("<" + to + ">").c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients);
  std::string_view left = message;
  curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadMessage);
  curl_easy_setopt(c, CURLOPT_READDATA, &left);
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_CRLF, 1L);  // lines end in CR LF on the wire
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(account.timeout.count()));
  curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(account.timeout.count()));
  // Each answer of the server too, also the one to QUIT after a time-out (else two minutes).
  curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, static_cast<long>(account.timeout.count()));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  char detail[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
  const CURLcode result = curl_easy_perform(c);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  curl_slist_free_all(recipients);
  curl_easy_cleanup(c);
  if (result == CURLE_OK) return {};
  std::string why = std::string(curl_easy_strerror(result));
  if (detail[0] != '\0') why += ": " + std::string(detail);
  if (code != 0) why += " (server said " + std::to_string(code) + ")";
  return HeaderSafe(why);
}

}  // namespace outlook::outbox

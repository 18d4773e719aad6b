// A local SMTP server for tests (aiosmtpd, run by Debian's own interpreter): in plain text, with
// STARTTLS required, or with TLS from the start, and then a login; and a certificate for it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace ravenox::testing {

using namespace std::chrono_literals;

inline int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Prints each message's envelope recipients and its text, then a separator line.
constexpr const char* kSinkScript = R"(
import asyncio, sys
from aiosmtpd.controller import Controller

class Sink:
    async def handle_DATA(self, server, session, envelope):
        if behaviour == 'refuse':
            return '550 5.7.1 Message refused'
        if behaviour == 'hang':
            await asyncio.sleep(3600)
            return '451 4.3.0 Too late'
        if behaviour == 'drop':
            server.transport.close()
            return None
        for rcpt in envelope.rcpt_tos:
            print('X-RcptTo: ' + rcpt)
        print(envelope.content.decode('utf-8', 'replace'))
        print('---------- MESSAGE FOLLOWS')
        sys.stdout.flush()
        return '250 OK'

# Modes: plain (no TLS offered, no login), starttls (STARTTLS required, then a login), tls (TLS
# from the start, then a login). The login is "me" with "secret". Behaviours with a message:
# take, refuse (550), hang, drop (the connection closed in the middle).
def login(server, session, envelope, mechanism, auth_data):
    from aiosmtpd.smtp import AuthResult, LoginPassword
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == b'me' and \
        auth_data.password == b'secret'
    return AuthResult(success=ok, handled=False)

mode = sys.argv[2] if len(sys.argv) > 2 else 'plain'
behaviour = sys.argv[5] if len(sys.argv) > 5 else 'take'
kwargs = {}
if mode != 'plain':
    import ssl
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(sys.argv[3], sys.argv[4])
    kwargs = dict(authenticator=login, auth_required=True)
    if mode == 'starttls':
        kwargs.update(tls_context=context, require_starttls=True, auth_require_tls=True)
    else:
        kwargs.update(ssl_context=context, auth_require_tls=False)
controller = Controller(Sink(), hostname='127.0.0.1', port=int(sys.argv[1]), **kwargs)
controller.start()
try:
    asyncio.get_event_loop().run_forever()
except KeyboardInterrupt:
    pass
)";

class SmtpSink {
 public:
  explicit SmtpSink(const std::filesystem::path& log, int port = FreePort(),
                    std::vector<std::string> tls = {})
      : port_(port) {
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      const std::string port = std::to_string(port_);
      std::vector<std::string> args = {"python3", "-u", "-c", kSinkScript, port};
      args.insert(args.end(), tls.begin(), tls.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv("/usr/bin/python3", argv.data());
      _exit(127);
    }
    for (int i = 0; i < 500 && !PortOpen(port_); ++i) std::this_thread::sleep_for(20ms);
  }
  ~SmtpSink() { Stop(); }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  int port() const { return port_; }
  bool up() const { return PortOpen(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
};

// A certificate for 127.0.0.1, made here, that is its own authority.
struct TestCertificate {
  explicit TestCertificate(const std::filesystem::path& dir)
      : cert(dir / "cert.pem"), key(dir / "key.pem") {
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key.string() +
                             " -out " + cert.string() +
                             " -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                             " >/dev/null 2>&1";
    ok = std::system(make.c_str()) == 0;
  }
  std::filesystem::path cert, key;
  bool ok = false;
};

inline bool HaveSmtpTools() {
  return ::access("/usr/bin/openssl", X_OK) == 0 &&
         std::system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") == 0;
}

}  // namespace ravenox::testing

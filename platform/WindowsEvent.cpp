// The wake event shared by the processes of one user's session, on Windows: a named manual-reset
// kernel event.
#include <windows.h>

#include "platform/WakeEvent.h"
#include "platform/WindowsText.h"

namespace ravenox::platform {
namespace {

class NamedEvent final : public WakeEvent {
 public:
  explicit NamedEvent(HANDLE handle) : handle_(handle) {}
  ~NamedEvent() override { CloseHandle(handle_); }
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  void Set() override { SetEvent(handle_); }
  void Reset() override { ResetEvent(handle_); }
  // Setting a manual-reset event releases every thread waiting on it at that moment, whatever
  // Reset follows.
  bool Wait(std::chrono::milliseconds timeout) override {
    const auto ms = timeout.count() <= 0          ? 0
                    : timeout.count() >= INFINITE ? INFINITE - 1
                                                  : timeout.count();
    return WaitForSingleObject(handle_, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<WakeEvent> OpenNamedEvent(const std::string& name, std::string& note) {
  // Created not signalled; opened as it is when another process has it.
  HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, WideText(name).c_str());
  if (handle == nullptr) {
    note = "CreateEvent: " + SystemMessage(GetLastError());
    return std::make_unique<LocalEvent>();
  }
  return std::make_unique<NamedEvent>(handle);
}

}  // namespace ravenox::platform

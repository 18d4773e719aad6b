// The calendars and task lists the desktop already keeps (Evolution Data Server: Google,
// Microsoft, CalDAV, local), read live. One GLib thread with its own main context holds a client
// and a view for each source in use; what a view tells (items added, changed, removed) is kept as
// iCalendar text, each item (a series with its changed occurrences) as one VCALENDAR. Where the
// service is not there, nothing is listed and a source in use says why it cannot be read.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace outlook::eds {

// How a profile names such a source: "eds:" and the source's UID.
inline constexpr std::string_view kScheme = "eds:";
inline bool IsDesktopSource(std::string_view source) {
  return source.substr(0, kScheme.size()) == kScheme;
}

enum class SourceKind { kEvents, kTasks };
class Service;

struct DesktopSource {
  std::string uid;      // what follows "eds:"
  std::string name;     // as the desktop shows it
  std::string account;  // the account it belongs to ("On This Computer", an address, ...)
  SourceKind kind = SourceKind::kEvents;
  bool shown = false;    // enabled, and ticked in the desktop's calendar
  bool writable = true;  // items may be saved there (not so the birthdays from contacts)
};

// The desktop's calendars and task lists, calendars first, each in the desktop's order of
// accounts and names. Empty where the service is not there; `why` then says what was met.
std::vector<DesktopSource> ListDesktopSources(std::string* why = nullptr);

// The items as the service holds them, in order of UID: each one's text, a VCALENDAR holding the
// item, its changed occurrences and the definitions of any zone it names that is not a standard
// one. The same object while the item does not change.
using Items = std::vector<std::shared_ptr<const std::string>>;

struct Snapshot {
  uint64_t version = 0;                // changes whenever anything below does
  std::shared_ptr<const Items> items;  // in order of UID
  std::string name;                    // the source's display name, once known
  std::string problem;                 // why it cannot be read now ("" when it can)
  bool loaded = false;                 // the service has told all it held
};

// One source, mirrored while the object lives.
class LiveSource {
 public:
  // Called on the service's thread for an item that changed: its text before and after (null
  // when it was not there, or is gone).
  using Text = std::shared_ptr<const std::string>;
  using ChangeListener = std::function<void(const Text& before, const Text& after)>;

  // Starts reading the source `uid` (without "eds:"); nothing here waits for the service. Of an
  // event only what the engine reads is kept: `user_address` tells the user's own reply among
  // its attendees.
  LiveSource(std::string uid, SourceKind kind, std::string user_address = {});
  // The listener is not called once this returns.
  ~LiveSource();
  LiveSource(const LiveSource&) = delete;
  LiveSource& operator=(const LiveSource&) = delete;

  // What is known now; waits up to `first_load` for the service's first answer (loaded, or a
  // problem).
  Snapshot Take(std::chrono::milliseconds first_load = std::chrono::milliseconds(0));
  void OnChange(ChangeListener listener);
  // Saves `component` (a VEVENT or VTODO whose UID the source holds) in place of the item's
  // master through the service, and keeps it at once; "" or why it could not be saved.
  std::string Replace(const std::string& component);

  struct State;

 private:
  std::shared_ptr<Service> service_;
  std::shared_ptr<State> state_;
};

}  // namespace outlook::eds

// The thread that talks to the desktop's calendar service, and the small helpers of its GLib
// objects, shared by the listing of sources and the sources read live.
#pragma once

#include <libedataserver/libedataserver.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "outlook/eds/DesktopCalendars.h"

namespace outlook::eds {

// An error's message, or `otherwise` when there is none.
std::string Why(const GError* error, const char* otherwise = "unknown error");

// Lets go of a GObject and forgets it.
template <typename T>
void Drop(T*& object) {
  if (object != nullptr) g_object_unref(object);
  object = nullptr;
}

// A string the library made for us, as ours (and freed).
std::string Owned(gchar* text);

// The extension that makes a source a calendar or a task list.
const char* ExtensionOf(SourceKind kind);

// One thread with its own main context. One per process while any source is read; it ends when
// the last one is let go.
class Service {
 public:
  Service();
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  static std::shared_ptr<Service> Get();

  // Runs `f` on the service's thread, after what was posted before it.
  void Post(std::function<void()> f);
  // Calls `f` with `data` on the service's thread after `seconds`; the timer, to be let go.
  GSource* Later(guint seconds, GSourceFunc f, gpointer data);
  // On the service's thread: the registry of sources, connected at the first need.
  ESourceRegistry* Registry(std::string& why);

 private:
  GMainContext* context_;
  GMainLoop* loop_;
  ESourceRegistry* registry_ = nullptr;
  std::thread thread_;
};

}  // namespace outlook::eds

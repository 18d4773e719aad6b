#include "outlook/eds/ServiceThread.h"

#include <mutex>

namespace outlook::eds {

std::string Why(const GError* error, const char* otherwise) {
  return error != nullptr && error->message != nullptr ? error->message : otherwise;
}

std::string Owned(gchar* text) {
  std::string out = text != nullptr ? text : "";
  g_free(text);
  return out;
}

const char* ExtensionOf(SourceKind kind) {
  return kind == SourceKind::kEvents ? E_SOURCE_EXTENSION_CALENDAR : E_SOURCE_EXTENSION_TASK_LIST;
}

Service::Service() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    Drop(registry_);
    g_main_context_pop_thread_default(context_);
  });
}

Service::~Service() {
  // After whatever was posted before: sources close first.
  Post([this] { g_main_loop_quit(loop_); });
  thread_.join();
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

std::shared_ptr<Service> Service::Get() {
  static std::mutex mutex;
  static std::weak_ptr<Service> running;
  std::lock_guard lock(mutex);
  std::shared_ptr<Service> s = running.lock();
  if (!s) {
    s = std::make_shared<Service>();
    running = s;
  }
  return s;
}

void Service::Post(std::function<void()> f) {
  auto* task = new std::function<void()>(std::move(f));
  GSource* idle = g_idle_source_new();
  g_source_set_priority(idle, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      idle,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      task, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(idle, context_);
  g_source_unref(idle);
}

GSource* Service::Later(guint seconds, GSourceFunc f, gpointer data) {
  GSource* timer = g_timeout_source_new_seconds(seconds);
  g_source_set_callback(timer, f, data, nullptr);
  g_source_attach(timer, context_);
  return timer;
}

ESourceRegistry* Service::Registry(std::string& why) {
  if (registry_ == nullptr) {
    GError* error = nullptr;
    registry_ = e_source_registry_new_sync(nullptr, &error);
    if (registry_ == nullptr) why = "the desktop's calendars cannot be reached: " + Why(error);
    g_clear_error(&error);
  }
  return registry_;
}

}  // namespace outlook::eds

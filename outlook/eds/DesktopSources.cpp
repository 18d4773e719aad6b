// The desktop's calendars and task lists as the wizard and the inspector list them.
#include <algorithm>
#include <tuple>

#include "outlook/eds/DesktopCalendars.h"
#include "outlook/eds/ServiceThread.h"

namespace outlook::eds {
namespace {

// The account a source belongs to: its parent's name ("On This Computer", an address).
std::string AccountOf(ESourceRegistry* registry, ESource* source) {
  const gchar* parent = e_source_get_parent(source);
  if (parent == nullptr || *parent == '\0') return {};
  ESource* p = e_source_registry_ref_source(registry, parent);
  if (p == nullptr) return {};
  std::string name = e_source_get_display_name(p);
  g_object_unref(p);
  return name;
}

}  // namespace

std::vector<DesktopSource> ListDesktopSources(std::string* why) {
  std::vector<DesktopSource> out;
  // The registry's proxies belong to a main context of this call's own, not to the caller's.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GError* error = nullptr;
  ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
  if (registry == nullptr) {
    if (why != nullptr) *why = "the desktop's calendars cannot be reached: " + Why(error);
    g_clear_error(&error);
  } else {
    for (const SourceKind kind : {SourceKind::kEvents, SourceKind::kTasks}) {
      GList* sources = e_source_registry_list_sources(registry, ExtensionOf(kind));
      std::vector<DesktopSource> found;
      for (GList* l = sources; l != nullptr; l = l->next) {
        auto* source = static_cast<ESource*>(l->data);
        DesktopSource d;
        d.uid = e_source_get_uid(source);
        d.name = e_source_get_display_name(source);
        d.account = AccountOf(registry, source);
        d.kind = kind;
        auto* extension =
            static_cast<ESourceSelectable*>(e_source_get_extension(source, ExtensionOf(kind)));
        d.shown = e_source_get_enabled(source) && e_source_selectable_get_selected(extension);
        // The birthdays calendar is made from the address books, and cannot be written to.
        const gchar* backend = e_source_backend_get_backend_name(E_SOURCE_BACKEND(extension));
        d.writable = backend == nullptr || std::string_view(backend) != "contacts";
        found.push_back(std::move(d));
      }
      g_list_free_full(sources, g_object_unref);
      std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::tie(a.account, a.name) < std::tie(b.account, b.name);
      });
      out.insert(out.end(), found.begin(), found.end());
    }
    g_object_unref(registry);
  }
  g_main_context_pop_thread_default(context);
  // What the proxies left to do in the context (their own clean-up) is done before it goes.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_unref(context);
  return out;
}

}  // namespace outlook::eds

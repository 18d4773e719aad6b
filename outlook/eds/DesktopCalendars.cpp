#include "outlook/eds/DesktopCalendars.h"

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>
#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "outlook/eds/ItemText.h"
#include "outlook/eds/ServiceThread.h"
#include "outlook/ical/Items.h"
#include "outlook/ical/Times.h"

namespace outlook::eds {
namespace {

// How long a source that could not be opened waits before it is tried again.
constexpr guint kRetrySeconds = 30;
// How long a save through the service may take before the engine goes on without it.
constexpr auto kSaveLimit = std::chrono::seconds(30);

}  // namespace

// A source's items and the service's objects for it. The mutex guards what is published and the
// listener; everything else belongs to the service's thread.
struct LiveSource::State {
  std::string uid;
  SourceKind kind = SourceKind::kEvents;
  std::string user_address;
  Service* service = nullptr;

  std::mutex mutex;
  std::mutex calling;  // held while the listener is called
  std::condition_variable answered;
  Snapshot published;
  ChangeListener listener;

  // The service's thread only.
  // Each item's text: all that is kept of it (a large calendar holds thousands), its UID and parts
  // read from it again when it changes. While the view tells what the source holds, by UID; then
  // in order of UID, as published (copied before a change once published).
  std::map<std::string, std::shared_ptr<const std::string>> loading;
  std::shared_ptr<Items> items = std::make_shared<Items>();
  bool items_published = false;
  bool reload = true;  // the view tells the whole source again
  // The text of the item `uid`, or null; puts `text` in its place (null: takes it out).
  std::shared_ptr<const std::string> Find(const std::string& uid) const;
  void Put(const std::string& uid, std::shared_ptr<const std::string> text);
  // Items changed since the last publication: their texts before and after, for the listener.
  std::vector<std::pair<std::shared_ptr<const std::string>, std::shared_ptr<const std::string>>>
      told;
  std::map<std::string, std::string> zone_texts;  // TZID -> VTIMEZONE, for zones not standard
  std::string name;
  std::string open_problem, backend_problem, status_problem;
  bool ever_connected = false;  // the service reached the source's server once
  bool offline = false;
  bool loaded = false;
  bool closed = false;
  ESource* source = nullptr;
  ECalClient* client = nullptr;
  ECalClientView* view = nullptr;
  GSource* retry = nullptr;
  GSource* offer = nullptr;

  // --- On the service's thread -------------------------------------------------------------
  void Open();
  void Close();
  void Retry(guint seconds);
  void Fail(std::string why);
  std::string Problem() const;
  // Publishes what is known, now or when the thread is next idle (a batch of changes at once).
  void Offer(bool now = false);
  // Puts `put` (RECURRENCE-ID, text) in place of the item's parts of the same RECURRENCE-ID, takes
  // out those `removed` (or all of them), and tells the listener.
  void Change(const std::string& uid, const std::vector<std::pair<std::string, std::string>>& put,
              const std::vector<std::string>& removed, bool remove_all,
              const std::vector<std::string>& new_zones = {});
  // Adds to `zones` the TZIDs `component` names whose definitions the text must carry (those
  // that are not standard zones), each asked of the service once.
  void NoteZones(ICalComponent* component, std::vector<std::string>& zones);
  void Forget(GSource*& source);
  std::string Save(const std::string& component);
  // What is kept of a part's text: of an event, the lines the engine reads (and its UID).
  std::string Kept(std::string part) const;

  static void Added(ECalClientView*, const GSList* objects, gpointer self);
  static void Removed(ECalClientView*, const GSList* ids, gpointer self);
  static void Complete(ECalClientView*, const GError* error, gpointer self);
  static void Died(EClient*, gpointer self);
  static void BackendError(EClient*, const gchar* message, gpointer self);
  static void Online(GObject*, GParamSpec*, gpointer self);
  static void Status(GObject*, GParamSpec*, gpointer self);
  static void CredentialsRequired(ESource*, ESourceCredentialsReason reason, const gchar*,
                                  GTlsCertificateFlags, const GError* error, gpointer self);
};

std::string LiveSource::State::Problem() const {
  std::string label = "Cannot read " + (name.empty() ? "eds:" + uid : name + " (eds:" + uid + ")");
  if (!open_problem.empty()) return label + ": " + open_problem;
  if (!backend_problem.empty()) return label + ": " + backend_problem;
  if (!status_problem.empty()) return label + ": " + status_problem;
  if (offline) return label + ": the calendar is offline; its last known items are kept";
  return {};
}

void LiveSource::State::Offer(bool now) {
  if (!now) {
    if (offer != nullptr) return;
    offer = g_idle_source_new();
    g_source_set_priority(offer, G_PRIORITY_LOW);
    g_source_set_callback(
        offer,
        [](gpointer self) -> gboolean {
          auto* s = static_cast<State*>(self);
          s->Forget(s->offer);
          s->Offer(true);
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(offer, g_main_context_get_thread_default());
    return;
  }
  Forget(offer);
  // Until the service has told all it holds, the items known before stay: a view that starts
  // again (the service restarted) does not empty the calendar for a moment.
  std::shared_ptr<const Items> list;
  if (loaded) {
    if (reload) {
      // The view's first whole answer: from here on the items are kept in order.
      auto made = std::make_shared<Items>();
      made->reserve(loading.size());
      // Each text copied once more: the copies fill the holes the load left between the first
      // ones, which then go, whole pages at a time (see Complete).
      for (auto& [id, text] : loading) made->push_back(std::make_shared<const std::string>(*text));
      loading.clear();
      items = std::move(made);
      reload = false;
    }
    list = items;
    items_published = true;
  }
  ChangeListener tell;
  {
    std::lock_guard lock(mutex);
    if (list) published.items = std::move(list);
    published.name = name;
    published.problem = Problem();
    published.loaded = loaded;
    ++published.version;
    answered.notify_all();
    tell = listener;
  }
  std::vector<std::pair<std::shared_ptr<const std::string>, std::shared_ptr<const std::string>>>
      changes;
  changes.swap(told);
  if (tell) {
    std::lock_guard lock(calling);
    for (const auto& [before, after] : changes) tell(before, after);
  }
}

void LiveSource::State::Forget(GSource*& source) {
  if (source == nullptr) return;
  g_source_destroy(source);
  g_source_unref(source);
  source = nullptr;
}

void LiveSource::State::Fail(std::string why) {
  open_problem = std::move(why);
  Offer(true);
}

void LiveSource::State::Retry(guint seconds) {
  if (closed || retry != nullptr) return;
  retry = service->Later(
      seconds,
      [](gpointer self) -> gboolean {
        auto* s = static_cast<State*>(self);
        s->Forget(s->retry);
        s->Open();
        return G_SOURCE_REMOVE;
      },
      this);
}

void LiveSource::State::Close() {
  if (view != nullptr) {
    g_signal_handlers_disconnect_by_data(view, this);
    GError* error = nullptr;
    e_cal_client_view_stop(view, &error);
    g_clear_error(&error);
  }
  if (client != nullptr) g_signal_handlers_disconnect_by_data(client, this);
  if (source != nullptr) g_signal_handlers_disconnect_by_data(source, this);
  Drop(view);
  Drop(client);
  Drop(source);
}

void LiveSource::State::Open() {
  if (closed) return;
  Close();
  std::string why;
  ESourceRegistry* registry = service->Registry(why);
  if (registry == nullptr) {
    Fail(why);
    Retry(kRetrySeconds);
    return;
  }
  source = e_source_registry_ref_source(registry, uid.c_str());
  const char* what = kind == SourceKind::kEvents ? "calendar" : "task list";
  if (source == nullptr) {
    Fail(std::string("the desktop has no ") + what + " of that name");
    Retry(kRetrySeconds);
    return;
  }
  name = e_source_get_display_name(source);
  if (!e_source_has_extension(source, ExtensionOf(kind))) {
    Fail(std::string("it is not a ") + what);
    Retry(kRetrySeconds);
    return;
  }
  GError* error = nullptr;
  // (guint32)-1: the client is made at once, connected or not; a remote calendar that cannot be
  // reached still gives what it holds from its last visit.
  EClient* made =
      e_cal_client_connect_sync(source,
                                kind == SourceKind::kEvents ? E_CAL_CLIENT_SOURCE_TYPE_EVENTS
                                                            : E_CAL_CLIENT_SOURCE_TYPE_TASKS,
                                static_cast<guint32>(-1), nullptr, &error);
  if (made == nullptr) {
    Fail(Why(error));
    g_clear_error(&error);
    Retry(kRetrySeconds);
    return;
  }
  client = E_CAL_CLIENT(made);
  g_signal_connect(client, "backend-died", G_CALLBACK(Died), this);
  g_signal_connect(client, "backend-error", G_CALLBACK(BackendError), this);
  g_signal_connect(client, "notify::online", G_CALLBACK(Online), this);
  g_signal_connect(source, "notify::connection-status", G_CALLBACK(Status), this);
  g_signal_connect(source, "credentials-required", G_CALLBACK(CredentialsRequired), this);
  Status(nullptr, nullptr, this);
  offline = !e_client_is_online(E_CLIENT(client));
  if (!e_cal_client_get_view_sync(client, "#t", &view, nullptr, &error)) {
    Fail(Why(error));
    g_clear_error(&error);
    Retry(kRetrySeconds);
    return;
  }
  g_signal_connect(view, "objects-added", G_CALLBACK(Added), this);
  g_signal_connect(view, "objects-modified", G_CALLBACK(Added), this);
  g_signal_connect(view, "objects-removed", G_CALLBACK(Removed), this);
  g_signal_connect(view, "complete", G_CALLBACK(Complete), this);
  e_cal_client_view_start(view, &error);
  if (error != nullptr) {
    Fail(Why(error));
    g_clear_error(&error);
    Retry(kRetrySeconds);
    return;
  }
  // What the view tells from here on is the whole source: what was kept from an earlier
  // connection and is not told again is gone.
  open_problem.clear();
  backend_problem.clear();
  loaded = false;
  reload = true;
  loading.clear();
  Offer();
}

void LiveSource::State::NoteZones(ICalComponent* component, std::vector<std::string>& zones) {
  struct Found {
    State* self;
    std::vector<std::string>* zones;
  } found{this, &zones};
  i_cal_component_foreach_tzid(
      component,
      [](ICalParameter* parameter, gpointer data) {
        auto* f = static_cast<Found*>(data);
        const gchar* tzid = i_cal_parameter_get_tzid(parameter);
        if (tzid == nullptr || *tzid == '\0') return;
        const std::string id = tzid;
        if (std::find(f->zones->begin(), f->zones->end(), id) != f->zones->end()) return;
        if (!f->self->zone_texts.contains(id)) {
          // A zone the system knows needs no definition; another is asked of the service once.
          std::string text;
          if (ical::KnownZone(id) == nullptr && f->self->client != nullptr) {
            ICalTimezone* zone = nullptr;
            GError* error = nullptr;
            if (e_cal_client_get_timezone_sync(f->self->client, tzid, &zone, nullptr, &error) &&
                zone != nullptr) {
              if (ICalComponent* c = i_cal_timezone_get_component(zone)) {
                text = Owned(i_cal_component_as_ical_string(c));
                g_object_unref(c);
              }
            }
            g_clear_error(&error);
          }
          f->self->zone_texts.emplace(id, std::move(text));
        }
        if (!f->self->zone_texts[id].empty()) f->zones->push_back(id);
      },
      &found);
}

namespace {

bool UidBefore(const std::shared_ptr<const std::string>& text, const std::string& uid) {
  return UidOf(*text) < uid;
}

}  // namespace

std::string LiveSource::State::Kept(std::string part) const {
  if (kind != SourceKind::kEvents) return part;
  static const std::vector<std::string_view> kKept = [] {
    std::vector<std::string_view> names(ical::kEventProperties.begin(),
                                        ical::kEventProperties.end());
    names.push_back("UID");
    return names;
  }();
  return ical::EventLines(part, user_address, kKept);
}

std::shared_ptr<const std::string> LiveSource::State::Find(const std::string& uid) const {
  if (!loaded || reload) {
    const auto it = loading.find(uid);
    return it != loading.end() ? it->second : nullptr;
  }
  const auto it = std::lower_bound(items->begin(), items->end(), uid, UidBefore);
  return it != items->end() && UidOf(**it) == uid ? *it : nullptr;
}

void LiveSource::State::Put(const std::string& uid, std::shared_ptr<const std::string> text) {
  if (!loaded || reload) {
    if (text != nullptr) {
      loading[uid] = std::move(text);
    } else {
      loading.erase(uid);
    }
    return;
  }
  if (items_published) {
    items = std::make_shared<Items>(*items);
    items_published = false;
  }
  const auto it = std::lower_bound(items->begin(), items->end(), uid, UidBefore);
  const bool there = it != items->end() && UidOf(**it) == uid;
  if (text == nullptr) {
    if (there) items->erase(it);
  } else if (there) {
    *it = std::move(text);
  } else {
    items->insert(it, std::move(text));
  }
}

void LiveSource::State::Change(const std::string& id,
                               const std::vector<std::pair<std::string, std::string>>& put,
                               const std::vector<std::string>& removed, bool remove_all,
                               const std::vector<std::string>& new_zones) {
  std::shared_ptr<const std::string> before = Find(id);
  // The parts kept, then those put in place of theirs or added.
  std::vector<std::pair<std::string, std::string>> parts;
  std::vector<std::string> zones;
  if (before != nullptr && !remove_all) {
    std::vector<std::string> old;
    Split(*before, old, zones);
    for (std::string& part : old) {
      std::string rid = RidOf(part);
      const bool replaced =
          std::any_of(put.begin(), put.end(), [&](const auto& q) { return q.first == rid; });
      if (replaced || std::find(removed.begin(), removed.end(), rid) != removed.end()) continue;
      parts.emplace_back(std::move(rid), std::move(part));
    }
  }
  for (const auto& q : put) parts.push_back(q);
  for (const auto& z : new_zones) {
    if (std::find(zones.begin(), zones.end(), z) == zones.end()) zones.push_back(z);
  }
  if (parts.empty()) {
    if (before == nullptr) return;
    Put(id, nullptr);
  } else {
    // The item itself first ("" sorts first), its changed occurrences after it in order of date.
    std::sort(parts.begin(), parts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<const std::string*> definitions;
    for (const std::string& z : zones) definitions.push_back(&zone_texts[z]);
    for (auto& [rid, part] : parts) {
      if (part.empty() || part.back() != '\n') part += "\r\n";
    }
    std::string text = ItemText(definitions, parts);
    Put(id, std::make_shared<const std::string>(std::move(text)));
  }
  if (!loaded) return;
  // Told once what changed is published: whoever is woken finds it there.
  told.emplace_back(std::move(before), Find(id));
}

void LiveSource::State::Added(ECalClientView*, const GSList* objects, gpointer self) {
  auto* s = static_cast<State*>(self);
  // Grouped by item: a series and its changed occurrences often come together.
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> put;
  std::map<std::string, std::vector<std::string>> zones;
  for (const GSList* l = objects; l != nullptr; l = l->next) {
    auto* c = static_cast<ICalComponent*>(l->data);
    const gchar* uid = i_cal_component_get_uid(c);
    if (uid == nullptr) continue;
    std::string rid = Owned(e_cal_util_component_get_recurid_as_string(c));
    s->NoteZones(c, zones[uid]);
    put[uid].emplace_back(std::move(rid), s->Kept(Owned(i_cal_component_as_ical_string(c))));
  }
  for (const auto& [uid, parts] : put) s->Change(uid, parts, {}, false, zones[uid]);
  s->backend_problem.clear();
  s->Offer();
}

void LiveSource::State::Removed(ECalClientView*, const GSList* ids, gpointer self) {
  auto* s = static_cast<State*>(self);
  for (const GSList* l = ids; l != nullptr; l = l->next) {
    auto* id = static_cast<const ECalComponentId*>(l->data);
    const gchar* uid = e_cal_component_id_get_uid(id);
    const gchar* rid = e_cal_component_id_get_rid(id);
    if (uid == nullptr) continue;
    const bool all = rid == nullptr || *rid == '\0';
    s->Change(uid, {}, all ? std::vector<std::string>{} : std::vector<std::string>{rid}, all);
  }
  s->Offer();
}

void LiveSource::State::Complete(ECalClientView*, const GError* error, gpointer self) {
  auto* s = static_cast<State*>(self);
  s->loaded = true;
  s->backend_problem = error != nullptr ? Why(error) : "";
  s->Offer(true);
  // Reading a large calendar left the service's messages and parses behind in free memory
  // between the items kept; the pages wholly free go back to the system.
  malloc_trim(0);
}

void LiveSource::State::Died(EClient*, gpointer self) {
  auto* s = static_cast<State*>(self);
  // The service's backend ended (it crashed, or the service was restarted): what is known stays
  // until a new one tells again.
  s->Close();
  s->backend_problem = "the desktop's calendar service stopped";
  s->Offer(true);
  s->Retry(1);
}

void LiveSource::State::BackendError(EClient*, const gchar* message, gpointer self) {
  auto* s = static_cast<State*>(self);
  s->backend_problem = message != nullptr && *message != '\0' ? message : "the service failed";
  s->Offer(true);
}

void LiveSource::State::Online(GObject*, GParamSpec*, gpointer self) {
  auto* s = static_cast<State*>(self);
  s->offline = s->client != nullptr && !e_client_is_online(E_CLIENT(s->client));
  if (!s->offline) s->backend_problem.clear();
  s->Offer(true);
}

void LiveSource::State::Status(GObject*, GParamSpec*, gpointer self) {
  auto* s = static_cast<State*>(self);
  if (s->source == nullptr) return;
  switch (e_source_get_connection_status(s->source)) {
    case E_SOURCE_CONNECTION_STATUS_CONNECTED:
      s->ever_connected = true;
      s->status_problem.clear();
      break;
    case E_SOURCE_CONNECTION_STATUS_AWAITING_CREDENTIALS:
      // The service says why when it asks (see CredentialsRequired).
      if (s->status_problem.empty()) s->status_problem = "the account asks for its password";
      break;
    case E_SOURCE_CONNECTION_STATUS_SSL_FAILED:
      s->status_problem = "its server's certificate is not trusted";
      break;
    case E_SOURCE_CONNECTION_STATUS_DISCONNECTED:
      // Before the first connection every source says so; after it, the server was lost.
      if (s->ever_connected) s->status_problem = "its server cannot be reached";
      break;
    default:  // connecting: what was said stays until it is known
      return;
  }
  s->Offer(true);
}

void LiveSource::State::CredentialsRequired(ESource*, ESourceCredentialsReason reason, const gchar*,
                                            GTlsCertificateFlags, const GError* error,
                                            gpointer self) {
  auto* s = static_cast<State*>(self);
  // The service's own words where it has them (a refused connection is told as a rejection).
  if (error != nullptr && error->message != nullptr && *error->message != '\0') {
    s->status_problem = error->message;
    s->Offer(true);
    return;
  }
  switch (reason) {
    case E_SOURCE_CREDENTIALS_REASON_REQUIRED:
      s->status_problem = "the account asks for its password";
      break;
    case E_SOURCE_CREDENTIALS_REASON_REJECTED:
      s->status_problem = "the account's password was not accepted";
      break;
    case E_SOURCE_CREDENTIALS_REASON_SSL_FAILED:
      s->status_problem = "its server's certificate is not trusted";
      break;
    default:
      s->status_problem = "its server cannot be reached";
      break;
  }
  s->Offer(true);
}

std::string LiveSource::State::Save(const std::string& component) {
  if (client == nullptr) return Problem().empty() ? "the source is not open" : Problem();
  ICalComponent* c = i_cal_component_new_from_string(component.c_str());
  if (c == nullptr) return "the item cannot be read";
  GError* error = nullptr;
  const bool saved = e_cal_client_modify_object_sync(client, c, E_CAL_OBJ_MOD_ALL,
                                                     E_CAL_OPERATION_FLAG_NONE, nullptr, &error);
  std::string why = saved ? "" : Why(error);
  g_clear_error(&error);
  if (saved) {
    // Kept at once: the view tells the same a moment later.
    const gchar* uid = i_cal_component_get_uid(c);
    std::vector<std::string> zones;
    NoteZones(c, zones);
    if (uid != nullptr)
      Change(uid, {{"", Kept(Owned(i_cal_component_as_ical_string(c)))}}, {}, false, zones);
    Offer(true);
  }
  g_object_unref(c);
  return why;
}

LiveSource::LiveSource(std::string uid, SourceKind kind, std::string user_address)
    : state_(std::make_shared<State>()) {
  state_->uid = std::move(uid);
  state_->kind = kind;
  state_->user_address = std::move(user_address);
  auto service = Service::Get();
  state_->service = service.get();
  // This object keeps the service running, not the state: the state is let go on the service's
  // thread, which must not be the one to end itself.
  service_ = std::move(service);
  service_->Post([state = state_] { state->Open(); });
}

LiveSource::~LiveSource() {
  {
    std::lock_guard lock(state_->mutex);
    state_->listener = nullptr;
  }
  // A call under way ends first.
  { std::lock_guard calling(state_->calling); }
  service_->Post([state = std::move(state_)] {
    state->closed = true;
    state->Forget(state->retry);
    state->Forget(state->offer);
    state->Close();
  });
}

Snapshot LiveSource::Take(std::chrono::milliseconds first_load) {
  std::unique_lock lock(state_->mutex);
  if (first_load.count() > 0) {
    state_->answered.wait_for(lock, first_load, [&] {
      return state_->published.loaded || !state_->published.problem.empty();
    });
  }
  return state_->published;
}

void LiveSource::OnChange(ChangeListener listener) {
  std::lock_guard lock(state_->mutex);
  state_->listener = std::move(listener);
}

std::string LiveSource::Replace(const std::string& component) {
  auto done = std::make_shared<std::promise<std::string>>();
  std::future<std::string> answer = done->get_future();
  service_->Post([state = state_, component, done] { done->set_value(state->Save(component)); });
  if (answer.wait_for(kSaveLimit) != std::future_status::ready)
    return "the desktop's calendar service did not answer";
  return answer.get();
}

}  // namespace outlook::eds

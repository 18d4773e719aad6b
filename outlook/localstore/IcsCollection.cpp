#include "outlook/localstore/IcsCollection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <unordered_map>

namespace outlook::localstore {
namespace {

constexpr uint32_t kWatched = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                              IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                              IN_EXCL_UNLINK;
constexpr uint32_t kGoneOrCome = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kWatchEnds = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

bool CalendarName(const char* name) {
  const std::size_t n = std::strlen(name);
  return n > 4 && std::strcmp(name + n - 4, ".ics") == 0;
}

// File systems whose changes on other machines the local kernel never hears of.
bool RemoteFileSystem(const std::filesystem::path& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs, rclone, ...)
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
      return true;
    default:
      return false;
  }
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

IcsCollection::IcsCollection(std::vector<std::filesystem::path> sources, ComponentKind kind,
                             std::string user_address, bool watch)
    : sources_(std::move(sources)),
      kind_(kind),
      user_address_(std::move(user_address)),
      watch_(watch),
      singles_(sources_.size()),
      folders_(sources_.size()),
      is_folder_(sources_.size(), false),
      feeds_(sources_.size()),
      source_problems_(sources_.size()) {
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    const std::string& source = sources_[i].native();
    if (!eds::IsDesktopSource(source)) continue;
    feeds_[i] = std::make_unique<Feed>();
    feeds_[i]->live = std::make_shared<eds::LiveSource>(
        source.substr(eds::kScheme.size()),
        kind_ == ComponentKind::kEvent ? eds::SourceKind::kEvents : eds::SourceKind::kTasks,
        user_address_);
  }
}

void IcsCollection::OnDesktopChange(eds::LiveSource::ChangeListener listener) {
  for (const auto& feed : feeds_) {
    if (feed) feed->live->OnChange(listener);
  }
}

bool IcsCollection::Take(std::size_t i) {
  Feed& feed = *feeds_[i];
  const eds::Snapshot snapshot = feed.live->Take(feed.first ? std::chrono::milliseconds(kFirstLoad)
                                                            : std::chrono::milliseconds(0));
  feed.first = false;
  if (snapshot.version == feed.version) return false;
  feed.version = snapshot.version;
  bool changed = snapshot.problem != feed.problem;
  feed.problem = snapshot.problem;
  if (snapshot.items == feed.items || snapshot.items == nullptr) return changed;
  // An item whose text is the same object keeps its file, and what was read of it.
  const auto name = std::make_shared<const std::string>(
      snapshot.name.empty() ? sources_[i].native()
                            : snapshot.name + " (" + sources_[i].native() + ")");
  const std::weak_ptr<eds::LiveSource> live = feed.live;
  auto write_back = [live](const std::string& component) {
    const auto source = live.lock();
    return source != nullptr && source->Replace(component).empty();
  };
  std::unordered_map<const std::string*, std::size_t> kept;
  if (feed.items != nullptr) {
    kept.reserve(feed.items->size());
    for (std::size_t j = 0; j < feed.items->size(); ++j) kept.emplace((*feed.items)[j].get(), j);
  }
  std::vector<std::shared_ptr<IcsFile>> files;
  files.reserve(snapshot.items->size());
  for (const auto& text : *snapshot.items) {
    if (const auto at = kept.find(text.get()); at != kept.end()) {
      files.push_back(std::move(feed.files[at->second]));
      continue;
    }
    auto file = std::make_shared<IcsFile>(name, kind_, user_address_, text, write_back);
    file->Refresh();
    files.push_back(std::move(file));
  }
  feed.items = snapshot.items;
  feed.files = std::move(files);
  return true;
}

IcsCollection::~IcsCollection() {
  if (inotify_ >= 0) ::close(inotify_);
}

void IcsCollection::Unwatch(Folder& folder) {
  if (folder.watch >= 0 && inotify_ >= 0) inotify_rm_watch(inotify_, folder.watch);
  folder.watch = -1;
}

void IcsCollection::ReadEvents() {
  if (inotify_ < 0) return;
  alignas(inotify_event) char buffer[16384];
  while (true) {
    const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
    if (n <= 0) return;  // nothing more (EAGAIN)
    for (const char* p = buffer; p < buffer + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + e->len;
      if ((e->mask & IN_Q_OVERFLOW) != 0) {
        // Events were lost: every watched folder is looked at whole.
        for (Folder& f : folders_) f.relist = f.relist_all = true;
        continue;
      }
      const auto it = std::find_if(folders_.begin(), folders_.end(),
                                   [&](const Folder& f) { return f.watch == e->wd; });
      if (it == folders_.end()) continue;
      Folder& folder = *it;
      if ((e->mask & kWatchEnds) != 0) {
        if ((e->mask & IN_IGNORED) == 0) Unwatch(folder);
        folder.watch = -1;
        folder.relist = folder.relist_all = true;
        continue;
      }
      if (e->len == 0 || !CalendarName(e->name)) continue;
      if ((e->mask & kGoneOrCome) != 0) {
        folder.relist = true;
      } else {
        const auto at = static_cast<std::size_t>(it - folders_.begin());
        folder.touched.push_back((sources_[at] / e->name).string());
      }
    }
  }
}

bool IcsCollection::Watch(std::size_t i) {
  Folder& folder = folders_[i];
  const auto now = std::chrono::steady_clock::now();
  // A folder that cannot be watched is tried again now and then (the watch limit may be raised).
  if (folder.tried && now - folder.tried_at < std::chrono::minutes(1)) return false;
  folder.tried = true;
  folder.tried_at = now;
  if (inotify_ < 0) inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0 || RemoteFileSystem(sources_[i])) return false;
  folder.watch = inotify_add_watch(inotify_, sources_[i].c_str(), kWatched);
  return folder.watch >= 0;
}

// Looks at `file` again: its trouble ("" when none); `changed` is set when what it holds changed.
std::string IcsCollection::Refreshed(IcsFile& file, bool& changed) {
  const std::size_t count = file.Count();
  const uint64_t generation = file.Generation();
  std::string problem;
  try {
    file.Refresh();
  } catch (const std::exception& e) {
    problem = e.what();
    if (problem.empty()) problem = "Cannot read " + file.PathText();
  }
  changed = changed || count != file.Count() || generation != file.Generation();
  return problem;
}

bool IcsCollection::Look(const std::shared_ptr<IcsFile>& file) {
  bool changed = false;
  const std::string problem = Refreshed(*file, changed);
  const auto it = file_problems_.find(file.get());
  if (it == file_problems_.end() ? !problem.empty() : it->second != problem) {
    changed = true;
    if (problem.empty()) {
      file_problems_.erase(it);
    } else {
      file_problems_[file.get()] = problem;
    }
  }
  return changed;
}

bool IcsCollection::List(std::size_t i, bool all) {
  Folder& folder = folders_[i];
  ++looks_;
  std::vector<std::string> paths;
  paths.reserve(folder.files.size());
  std::string prefix = sources_[i].string();
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  if (DIR* dir = ::opendir(sources_[i].c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      if (!CalendarName(e->d_name)) continue;
      std::string path;
      path.reserve(prefix.size() + std::strlen(e->d_name));
      path.append(prefix).append(e->d_name);
      // The entry's type comes with the listing: a stat only where it does not tell.
      bool regular = e->d_type == DT_REG;
      if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
        struct stat st {};
        regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      }
      if (regular) paths.push_back(std::move(path));
    }
    ::closedir(dir);
  }
  std::sort(paths.begin(), paths.end());

  // Both in order of path: one walk keeps what is still there.
  std::vector<std::shared_ptr<IcsFile>> files;
  files.reserve(paths.size());
  bool changed = false;
  std::vector<std::size_t> fresh;  // where the new files are in `files` (and their paths in
                                   // `paths`), made when indexed
  std::size_t j = 0;
  auto drop = [&](const std::shared_ptr<IcsFile>& gone) {
    file_problems_.erase(gone.get());
    changed = true;
  };
  for (const std::string& path : paths) {
    while (j < folder.files.size() && folder.files[j]->PathText() < path) drop(folder.files[j++]);
    if (j < folder.files.size() && folder.files[j]->PathText() == path) {
      if (all) changed = Look(folder.files[j]) || changed;
      files.push_back(std::move(folder.files[j++]));
    } else {
      files.emplace_back();
      fresh.push_back(files.size() - 1);
      changed = true;
    }
  }
  while (j < folder.files.size()) drop(folder.files[j++]);

  // The new files are made and indexed; many (the first look at a large vdir) side by side,
  // each reader taking the next few in turn: one that the system holds back leaves its share to
  // the others.
  std::vector<std::string> problems(fresh.size());
  const int dir = ::open(sources_[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  constexpr std::size_t kFewFiles = 64;
  std::atomic<std::size_t> next{0};
  auto index = [&] {
    for (std::size_t from; (from = next.fetch_add(kFewFiles)) < fresh.size();) {
      for (std::size_t k = from; k < std::min(from + kFewFiles, fresh.size()); ++k) {
        files[fresh[k]] =
            std::make_shared<IcsFile>(std::move(paths[fresh[k]]), kind_, user_address_, !watch_);
        try {
          files[fresh[k]]->Refresh(dir);
        } catch (const std::exception& e) {
          problems[k] = e.what();
          if (problems[k].empty()) problems[k] = "Cannot read " + files[fresh[k]]->PathText();
        }
      }
    }
  };
  constexpr std::size_t kManyFiles = 512;
  const std::size_t readers =
      fresh.size() < kManyFiles
          ? 1
          : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
  {
    std::vector<std::jthread> helpers;
    for (std::size_t r = 1; r < readers; ++r) helpers.emplace_back(index);
    index();
  }
  if (dir >= 0) ::close(dir);
  for (std::size_t k = 0; k < fresh.size(); ++k) {
    if (!problems[k].empty()) file_problems_[files[fresh[k]].get()] = std::move(problems[k]);
  }
  folder.files = std::move(files);
  folder.listed = true;
  folder.relist = folder.relist_all = false;
  folder.touched.clear();
  return changed;
}

void IcsCollection::Refresh() {
  const auto now = std::chrono::steady_clock::now();
  // For folders nothing tells of: their files are looked at once a second.
  const bool second = !refreshed_ || now - last_full_ >= std::chrono::seconds(1);
  if (second) last_full_ = now;
  bool changed = !refreshed_;
  refreshed_ = true;
  ReadEvents();
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    if (feeds_[i]) {
      changed = Take(i) || changed;
      continue;
    }
    struct stat st {};
    const bool folder = ::stat(sources_[i].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (folder != is_folder_[i]) {
      is_folder_[i] = folder;
      changed = true;
    }
    Folder& d = folders_[i];
    if (!folder) {
      if (d.listed || d.watch >= 0) {
        for (const auto& f : d.files) file_problems_.erase(f.get());
        Unwatch(d);
        d = Folder{};
        changed = true;
      }
      std::shared_ptr<IcsFile>& file = singles_[i];
      if (file == nullptr) {
        file = std::make_shared<IcsFile>(sources_[i].string(), kind_, user_address_);
        changed = true;
      }
      std::string problem = Refreshed(*file, changed);
      changed = changed || problem != source_problems_[i];
      source_problems_[i] = std::move(problem);
      continue;
    }
    if (singles_[i] != nullptr) {
      singles_[i].reset();
      source_problems_[i].clear();
      changed = true;
    }
    if (d.listed && d.inode != st.st_ino) {  // another folder in its place
      Unwatch(d);
      d.relist = d.relist_all = true;
    }
    // What happened before the watch began is learnt by listing the folder after it.
    if (d.watch < 0 && watch_ && Watch(i)) d.relist = d.relist_all = true;
    const bool entry_changed = !SameTime(d.mtime, st.st_mtim) || d.inode != st.st_ino;
    d.mtime = st.st_mtim;
    d.inode = st.st_ino;
    if (!d.listed || d.relist || (d.watch < 0 && entry_changed)) {
      changed = List(i, !d.listed || d.relist_all || d.watch < 0) || changed;
    } else if (d.watch < 0) {
      if (second) {
        for (const auto& f : d.files) changed = Look(f) || changed;
      }
    } else if (!d.touched.empty()) {
      std::sort(d.touched.begin(), d.touched.end());
      d.touched.erase(std::unique(d.touched.begin(), d.touched.end()), d.touched.end());
      for (const std::string& path : d.touched) {
        const auto it = std::lower_bound(d.files.begin(), d.files.end(), path,
                                         [](const std::shared_ptr<IcsFile>& f,
                                            const std::string& p) { return f->PathText() < p; });
        if (it != d.files.end() && (*it)->PathText() == path) changed = Look(*it) || changed;
      }
      d.touched.clear();
    }
  }
  if (changed) Rebuild();
}

void IcsCollection::Rebuild() {
  order_.clear();
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    if (feeds_[i]) {
      order_.insert(order_.end(), feeds_[i]->files.begin(), feeds_[i]->files.end());
    } else if (is_folder_[i]) {
      order_.insert(order_.end(), folders_[i].files.begin(), folders_[i].files.end());
    } else if (singles_[i] != nullptr) {
      order_.push_back(singles_[i]);
    }
  }
  ends_.clear();
  ends_.reserve(order_.size());
  std::vector<std::pair<const IcsFile*, uint64_t>> signature;
  signature.reserve(order_.size());
  std::size_t n = 0;
  for (const auto& f : order_) {
    n += f->Count();
    ends_.push_back(n);
    signature.emplace_back(f.get(), f->Generation() * 2 + (f->Count() == 0 ? 1 : 0));
  }
  if (signature != signature_) {
    signature_ = std::move(signature);
    ++version_;
  }
  problems_.clear();
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    if (feeds_[i]) {
      if (!feeds_[i]->problem.empty()) problems_.push_back(feeds_[i]->problem);
    } else if (!is_folder_[i] && !source_problems_[i].empty()) {
      problems_.push_back(source_problems_[i]);
    }
  }
  if (file_problems_.empty()) return;
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    if (!is_folder_[i]) continue;
    for (const auto& f : folders_[i].files) {
      const auto it = file_problems_.find(f.get());
      if (it != file_problems_.end()) problems_.push_back(it->second);
    }
  }
}

std::size_t IcsCollection::Count() const {
  return ends_.empty() ? 0 : ends_.back();
}

std::pair<std::shared_ptr<IcsFile>, std::size_t> IcsCollection::At(std::size_t index) {
  // The first file whose items end after `index`.
  const auto it = std::upper_bound(ends_.begin(), ends_.end(), index);
  if (it == ends_.end()) return {nullptr, 0};
  const auto file = static_cast<std::size_t>(it - ends_.begin());
  const std::size_t before = file == 0 ? 0 : ends_[file - 1];
  return {order_[file], index - before};
}

}  // namespace outlook::localstore

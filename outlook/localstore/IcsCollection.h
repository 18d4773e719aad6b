// The items of several iCalendar sources, files, vdirs and the desktop's calendars ("eds:" and a
// source's UID), as one list in a stable order. A vdir
// may hold a file per event, so nothing here is proportional to its size while it does not
// change: the kernel tells of changes in it (inotify), and only the files named are looked at
// again. Where it cannot tell (no inotify, a network file system), a folder is listed again when
// its own entry changed and its files are looked at once a second. The desktop's calendar service
// tells of its changes itself (see outlook/eds/).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "outlook/eds/DesktopCalendars.h"
#include "outlook/localstore/IcsStore.h"

namespace outlook::localstore {

class IcsCollection {
 public:
  // `watch`: let the kernel tell of changes in the folders (a collection read once needs not).
  IcsCollection(std::vector<std::filesystem::path> sources, ComponentKind kind,
                std::string user_address = {}, bool watch = true);
  ~IcsCollection();
  IcsCollection(const IcsCollection&) = delete;
  IcsCollection& operator=(const IcsCollection&) = delete;

  void Refresh();
  std::size_t Count() const;
  // The file and index within it of position `index` (0-based).
  std::pair<std::shared_ptr<IcsFile>, std::size_t> At(std::size_t index);
  // Problems met while refreshing (a source that cannot be read), for the status line.
  const std::vector<std::string>& Problems() const { return problems_; }
  // How many files the sources named at the last refresh.
  std::size_t Files() const { return order_.size(); }
  // How many times a folder was listed (for tests and benchmarks).
  std::size_t Looks() const { return looks_; }
  // Changes whenever the items may have: a file indexed again, added or gone, a source's trouble.
  uint64_t Version() const { return version_; }
  // Hears, on another thread, of each item of the desktop's calendars that changed: its text
  // before and after (null when it was not there, or is gone).
  void OnDesktopChange(eds::LiveSource::ChangeListener listener);
  // How long the first refresh waits for the desktop's calendars to tell what they hold.
  static constexpr std::chrono::seconds kFirstLoad{10};

 private:
  // A source that is a folder: its files by path, and how its changes are learnt.
  struct Folder {
    bool listed = false;
    int watch = -1;  // the inotify watch, or -1: looked at once a second
    timespec mtime{};
    ino_t inode = 0;
    bool relist = false;      // files came or went: list it again
    bool relist_all = false;  // the kernel lost track: and look at every file
    bool tried = false;       // a watch was tried, at
    std::chrono::steady_clock::time_point tried_at{};
    std::vector<std::string> touched;  // files the kernel named since the last refresh
    std::vector<std::shared_ptr<IcsFile>> files;
  };

  // A source that is one of the desktop's calendars: the service's items, each as a file kept in
  // memory, in the order of their UIDs.
  struct Feed {
    std::shared_ptr<eds::LiveSource> live;
    uint64_t version = 0;
    bool first = true;
    std::shared_ptr<const eds::Items> items;
    std::vector<std::shared_ptr<IcsFile>> files;  // of each of `items`
    std::string problem;
  };
  // Takes what the service tells of source `i`; true when its items or its trouble changed.
  bool Take(std::size_t i);

  void ReadEvents();
  // Has the kernel tell of changes in the folder of source `i`; false where it cannot.
  bool Watch(std::size_t i);
  // Lists the folder of source `i` again, keeping the files it still holds; true when its files
  // changed. `all`: every file kept is looked at too.
  bool List(std::size_t i, bool all);
  static std::string Refreshed(IcsFile& file, bool& changed);
  // Looks at one file again; true when what it holds or its trouble changed.
  bool Look(const std::shared_ptr<IcsFile>& file);
  void Unwatch(Folder& folder);
  // The order of the files, the running item counts and the problems, after the files changed.
  void Rebuild();

  std::vector<std::filesystem::path> sources_;
  ComponentKind kind_;
  std::string user_address_;
  bool watch_;
  int inotify_ = -1;  // made at the first folder; -1 where the kernel cannot tell
  std::vector<std::shared_ptr<IcsFile>> singles_;  // the file of each single-file source
  std::vector<Folder> folders_;                    // of each source that is a folder
  std::vector<bool> is_folder_;
  std::vector<std::unique_ptr<Feed>> feeds_;             // of each source that is the desktop's
  std::vector<std::string> source_problems_;             // of each single-file source
  std::map<const IcsFile*, std::string> file_problems_;  // of the files in folders
  std::vector<std::shared_ptr<IcsFile>> order_;
  std::vector<std::size_t> ends_;  // items up to and including each file of order_
  std::vector<std::string> problems_;
  std::vector<std::pair<const IcsFile*, uint64_t>> signature_;  // files and generations, in order
  uint64_t version_ = 0;
  bool refreshed_ = false;
  std::size_t looks_ = 0;
  std::chrono::steady_clock::time_point last_full_;
};

}  // namespace outlook::localstore

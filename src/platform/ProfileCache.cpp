#include "platform/ProfileCache.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/ScopeExit.h"

// Settings are read several times per engine call, so parsed files are kept
// and reused while the file is provably unchanged.
//
// The kernel says so: before a file is read, it and its folder are watched
// (inotify), the file for any change of its content or status and for its
// own move or deletion, the folder for a file of that name coming or going
// (a replacement by rename). While no event has come, the parsed file is
// reused at the cost of one read of the watch descriptor, which touches no
// file system. An event for the file, or a lost event (the queue overflowed),
// drops what it concerns; the next read reads the file again.
//
// Where a file cannot be watched (no inotify, the watch limit reached) the
// status decides: same device, inode, size, modification and change times.
// A change time cannot be set back by anyone, and every write (ours replace
// the file, so its inode changes too) moves it on. The one blind spot is a
// change within the time stamps' granularity of our read, which leaves them
// equal: a file changed less than GProfileCacheMarginNs before it was read is
// therefore read again every time until it has been quiet that long. Local
// file systems stamp times to a clock tick (at most 10 ms); the margin is ten
// times that.

namespace Platform {

namespace ProfileDetail {

namespace {

std::atomic<int64_t> GProfileCacheMarginNs{100'000'000};
std::atomic<uint64_t> GFileReads{0};

constexpr size_t PROFILE_CACHE_ENTRIES = 8;
// Up to the largest file read at all: a document of thousands of models is
// read once, not once per model.
constexpr off_t PROFILE_CACHE_MAX_SIZE = static_cast<off_t>(PROFILE_MAX_FILE_SIZE);

int64_t Nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

bool SameFileState(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         Nanoseconds(a.st_mtim) == Nanoseconds(b.st_mtim) && Nanoseconds(a.st_ctim) == Nanoseconds(b.st_ctim);
}

struct TCachedProfile {
  std::string FileName;
  std::string BaseName;  // the name within its folder, as folder events give it
  // The watches (-1: none); while both are set the kernel's events alone
  // say whether the file changed.
  int FileWatch = -1;
  int FolderWatch = -1;
  struct stat State {};
  int64_t ReadAtNs = 0;  // wall clock when the read began
  int64_t CheckedAtNs = 0;  // monotonic clock when the status last matched
  uint64_t LastUse = 0;
  std::shared_ptr<const TProfile> Profile;
};

class TProfileCache {
 public:
  std::shared_ptr<const TProfile> Read(const std::string& fileName) {
    const int64_t now = MonotonicNs();
    {
      std::lock_guard<std::mutex> lock(FLock);
      // One engine call reads several settings: for a file that has been
      // quiet a while, the events are looked at once a millisecond at most,
      // so another program's change shows from a millisecond after our last
      // look. A file changed just now is likely to change again: it is
      // looked at every time until it has been quiet that long.
      TCachedProfile* cached = Find(fileName);
      if (!cached || !QuietSince(*cached, WallClockNs()) || now - FEventsTakenAtNs >= RECHECK_AFTER_NS) {
        TakeEvents();
        FEventsTakenAtNs = now;
      }
      if (TCachedProfile* entry = Find(fileName); entry && Watched(*entry)) {
        entry->LastUse = ++FUses;
        return entry->Profile;
      }
      // Without watches, one engine call reads several settings: a status
      // that matched less than a millisecond ago is taken as still matching.
      if (TCachedProfile* entry = Find(fileName); entry && now - entry->CheckedAtNs < RECHECK_AFTER_NS) {
        entry->LastUse = ++FUses;
        return entry->Profile;
      }
    }
    struct stat st;
    if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Uncached(fileName);
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (TCachedProfile* entry = Find(fileName); entry && SameFileState(entry->State, st) && Settled(*entry)) {
        entry->LastUse = ++FUses;
        entry->CheckedAtNs = now;
        return entry->Profile;
      }
    }

    // Watched before it is read: a change from here on is an event.
    const std::pair<int, int> watches = Watch(fileName);
    const uint64_t eventsAtWatch = [this, &watches] {
      std::lock_guard<std::mutex> lock(FLock);
      TakeEvents();
      return EventsSince(watches);
    }();
    // Given up on every way out but the one that hands them to an entry.
    TScopeExit release([this, &watches] {
      std::lock_guard<std::mutex> lock(FLock);
      Release(watches);
    });
    ++GFileReads;
    const int64_t readAt = WallClockNs();
    int opened = -1;
    if (OpenRegularFile(fileName, O_RDONLY, 0, opened) != 0) return Uncached(fileName);
    TFd fd(opened);
    std::string content;
    if (::fstat(fd.Get(), &st) != 0 || !ReadAll(fd.Get(), content, PROFILE_MAX_FILE_SIZE)) return Uncached(fileName);
    auto profile = std::make_shared<TProfile>();
    profile->Parse(content);
    if (st.st_size > PROFILE_CACHE_MAX_SIZE) return profile;

    release.Release();
    std::lock_guard<std::mutex> lock(FLock);
    // An event that came during the read may be for what was read: the
    // entry is then made without watches and waits for the status rules.
    TakeEvents();
    const bool changedMeanwhile = EventsSince(watches) != eventsAtWatch;
    TCachedProfile* slot = Find(fileName);
    if (!slot && FEntries.size() < PROFILE_CACHE_ENTRIES) slot = &FEntries.emplace_back();
    if (!slot)
      slot = &*std::min_element(FEntries.begin(), FEntries.end(),
                                [](const TCachedProfile& a, const TCachedProfile& b) { return a.LastUse < b.LastUse; });
    Unwatch(*slot);
    slot->FileName = fileName;
    slot->BaseName = BaseName(fileName);
    if (changedMeanwhile) {
      Release(watches);
    } else {
      slot->FileWatch = watches.first;
      slot->FolderWatch = watches.second;
    }
    slot->State = st;
    slot->ReadAtNs = readAt;
    slot->CheckedAtNs = Settled(*slot) ? now : 0;
    slot->LastUse = ++FUses;
    slot->Profile = profile;
    return profile;
  }

  // Our own writes show at once, whoever reads next.
  void Forget() {
    std::lock_guard<std::mutex> lock(FLock);
    for (TCachedProfile& entry : FEntries) Unwatch(entry);
    FEntries.clear();
  }

 private:
  static constexpr int64_t RECHECK_AFTER_NS = 1'000'000;

  static int64_t MonotonicNs() { return static_cast<int64_t>(Platform::MonotonicNs()); }

  // Under FLock.
  TCachedProfile* Find(const std::string& fileName) {
    for (TCachedProfile& entry : FEntries)
      if (entry.FileName == fileName) return &entry;
    return nullptr;
  }

  static int64_t WallClockNs() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
  }

  // Whether the file, as last read, has not changed for the margin by now.
  static bool QuietSince(const TCachedProfile& entry, int64_t wallNs) {
    const int64_t margin = GProfileCacheMarginNs.load();
    return Nanoseconds(entry.State.st_ctim) + margin < wallNs && Nanoseconds(entry.State.st_mtim) + margin < wallNs;
  }

  // Whether the file had been quiet for the margin when it was read.
  static bool Settled(const TCachedProfile& entry) { return QuietSince(entry, entry.ReadAtNs); }

  static std::shared_ptr<const TProfile> Uncached(const std::string& fileName) {
    auto profile = std::make_shared<TProfile>();
    std::string content;
    if (ReadWholeFile(fileName, content)) profile->Parse(content);
    return profile;
  }

  static bool Watched(const TCachedProfile& entry) { return entry.FileWatch >= 0 && entry.FolderWatch >= 0; }

  static std::string BaseName(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  }
  static std::string FolderName(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : fileName.substr(0, slash);
  }

  // The watch descriptor, made at first use; -1 when there is none.
  int Notifier() {
    if (!FNotifierTried) {
      FNotifierTried = true;
      FNotifier = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    return FNotifier;
  }

  // Watches for the file and its folder ({-1, -1} when it cannot be
  // watched). The kernel gives a file or folder one watch per descriptor,
  // so several entries may share one.
  std::pair<int, int> Watch(const std::string& fileName) {
    std::lock_guard<std::mutex> lock(FLock);
    const int notifier = Notifier();
    if (notifier < 0) return {-1, -1};
    // A link is followed: the file it names is what is read. Its
    // replacement by rename unlinks the watched file, which the kernel
    // reports as a status change.
    const int file = ::inotify_add_watch(notifier, fileName.c_str(),
                                         IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF);
    if (file < 0) return {-1, -1};
    ++FWatches[file].Users;
    const int folder = ::inotify_add_watch(notifier, FolderName(fileName).c_str(),
                                           IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR);
    if (folder < 0) {
      Release(file);
      return {-1, -1};
    }
    ++FWatches[folder].Users;
    return {file, folder};
  }

  // Under FLock. Watches are counted by their users (entries, and reads
  // under way); one nobody uses any more is removed.
  void Release(int wd) {
    if (wd < 0) return;
    const auto it = FWatches.find(wd);
    if (it == FWatches.end() || --it->second.Users > 0) return;
    FWatches.erase(it);
    ::inotify_rm_watch(FNotifier, wd);
  }
  void Release(std::pair<int, int> watches) {
    Release(watches.first);
    Release(watches.second);
  }
  void Unwatch(TCachedProfile& entry) {
    Release(std::exchange(entry.FileWatch, -1));
    Release(std::exchange(entry.FolderWatch, -1));
  }

  // Under FLock. How many events have come for the watches (and lost
  // events of any), so that a read under way can tell whether one came.
  uint64_t EventsSince(std::pair<int, int> watches) const {
    uint64_t n = FLostEvents;
    for (const int wd : {watches.first, watches.second})
      if (const auto it = FWatches.find(wd); it != FWatches.end()) n += it->second.Events;
    return n;
  }

  // Under FLock. Drops every entry an event that has come concerns; all of
  // them when events were lost. Counts every event by its watch.
  void TakeEvents() {
    if (FNotifier < 0) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(FNotifier, buffer, sizeof buffer);
      if (n <= 0) return;  // EAGAIN: nothing has changed
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        const std::string_view name = event->len > 0 ? std::string_view(event->name) : std::string_view();
        if (event->mask & IN_Q_OVERFLOW) ++FLostEvents;
        if (const auto w = FWatches.find(event->wd); w != FWatches.end()) ++w->second.Events;
        for (auto it = FEntries.begin(); it != FEntries.end();) {
          const bool concerned = (event->mask & IN_Q_OVERFLOW) != 0 || event->wd == it->FileWatch ||
                                 (event->wd == it->FolderWatch && name == it->BaseName);
          if (!concerned) {
            ++it;
            continue;
          }
          TCachedProfile gone = std::move(*it);
          it = FEntries.erase(it);
          Unwatch(gone);
        }
      }
    }
  }

  std::mutex FLock;
  std::vector<TCachedProfile> FEntries;
  uint64_t FUses = 0;
  int FNotifier = -1;
  bool FNotifierTried = false;
  struct TWatch {
    int Users = 0;        // entries, and reads under way
    uint64_t Events = 0;  // events that have come for it
  };
  std::map<int, TWatch> FWatches;
  uint64_t FLostEvents = 0;
  int64_t FEventsTakenAtNs = INT64_MIN / 2;  // monotonic
};

TProfileCache& ProfileCache() {
  static TProfileCache cache;
  return cache;
}

}  // namespace

std::shared_ptr<const TProfile> ReadProfile(const std::string& fileName) { return ProfileCache().Read(fileName); }

void ForgetCachedProfiles() { ProfileCache().Forget(); }

}  // namespace ProfileDetail

namespace ProfileFileTesting {
int64_t SetReadCacheMarginNs(int64_t margin) { return ProfileDetail::GProfileCacheMarginNs.exchange(margin); }
uint64_t ProfileFileReads() { return ProfileDetail::GFileReads.load(); }
}  // namespace ProfileFileTesting

}  // namespace Platform

#include "platform/ProfileCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"

// Settings are read several times per engine call, so parsed files are kept
// and reused while the file is provably unchanged: same device, inode, size,
// modification and change times. A change time cannot be set back by anyone,
// and every write (ours replace the file, so its inode changes too) moves it
// on. The one blind spot is a change within the time stamps' granularity of
// our read, which leaves them equal: a file changed less than
// GProfileCacheMarginNs before it was read is therefore read again every time
// until it has been quiet that long. Local file systems stamp times to a
// clock tick (at most 10 ms); the margin is ten times that.

namespace Platform {

namespace ProfileDetail {

namespace {

std::atomic<int64_t> GProfileCacheMarginNs{100'000'000};

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
  struct stat State {};
  int64_t ReadAtNs = 0;  // wall clock when the read began
  int64_t CheckedAtNs = 0;  // monotonic clock when the status last matched
  uint64_t LastUse = 0;
  std::shared_ptr<const TProfile> Profile;
};

class TProfileCache {
 public:
  std::shared_ptr<const TProfile> Read(const std::string& fileName) {
    // One engine call reads several settings: a status that matched less
    // than a millisecond ago is taken as still matching.
    const int64_t now = MonotonicNs();
    {
      std::lock_guard<std::mutex> lock(FLock);
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

    const int64_t readAt = WallClockNs();
    int opened = -1;
    if (OpenRegularFile(fileName, O_RDONLY, 0, opened) != 0) return Uncached(fileName);
    TFd fd(opened);
    std::string content;
    if (::fstat(fd.Get(), &st) != 0 || !ReadAll(fd.Get(), content, PROFILE_MAX_FILE_SIZE)) return Uncached(fileName);
    auto profile = std::make_shared<TProfile>();
    profile->Parse(content);
    if (st.st_size > PROFILE_CACHE_MAX_SIZE) return profile;

    std::lock_guard<std::mutex> lock(FLock);
    TCachedProfile* slot = Find(fileName);
    if (!slot && FEntries.size() < PROFILE_CACHE_ENTRIES) slot = &FEntries.emplace_back();
    if (!slot)
      slot = &*std::min_element(FEntries.begin(), FEntries.end(),
                                [](const TCachedProfile& a, const TCachedProfile& b) { return a.LastUse < b.LastUse; });
    slot->FileName = fileName;
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

  static bool Settled(const TCachedProfile& entry) {
    const int64_t margin = GProfileCacheMarginNs.load();
    return Nanoseconds(entry.State.st_ctim) + margin < entry.ReadAtNs &&
           Nanoseconds(entry.State.st_mtim) + margin < entry.ReadAtNs;
  }

  static std::shared_ptr<const TProfile> Uncached(const std::string& fileName) {
    auto profile = std::make_shared<TProfile>();
    std::string content;
    if (ReadWholeFile(fileName, content)) profile->Parse(content);
    return profile;
  }

  std::mutex FLock;
  std::vector<TCachedProfile> FEntries;
  uint64_t FUses = 0;
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
}  // namespace ProfileFileTesting

}  // namespace Platform

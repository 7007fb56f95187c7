#include "platform/ProfileFile.h"

#include <fcntl.h>
#include <dirent.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <unordered_set>
#include <vector>

#include "platform/Files.h"
#include "platform/ProfileCache.h"
#include "platform/ProfileText.h"

namespace Platform {

// The parsed lines and file helpers (platform/ProfileText.h) and the read
// cache (platform/ProfileCache.h).
using namespace ProfileDetail;

namespace {

std::atomic<ProfileFileTesting::TWriteHook> GWriteHook{nullptr};

void CallHook(ProfileFileTesting::TWriteStage stage) {
  if (auto hook = GWriteHook.load()) hook(stage);
}

// Without matching quotes.
std::string_view Unquoted(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

// Removes matching quotes and cuts to the maximum length.
std::string ValueForReading(std::string_view v) {
  v = Unquoted(v);
  size_t units = 0, i = 0;
  while (i < v.size()) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    size_t len = 1, cost = 1;
    if (c >= 0xF0 && c <= 0xF7) len = 4, cost = 2;
    else if (c >= 0xE0 && c <= 0xEF) len = 3;
    else if (c >= 0xC0 && c <= 0xDF) len = 2;
    if (i + len > v.size()) len = 1;
    if (units + cost > PROFILE_MAX_VALUE_LENGTH) break;
    units += cost;
    i += len;
  }
  return std::string(v.substr(0, i));
}

[[noreturn]] void RaiseWriteError(const std::string& fileName, int err) {
  throw EProfileWriteError(fileName + ": " + SysErrorMessage(err));
}

// ---- Writing -----------------------------------------------------------------

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A symbolic link is written through, so the link itself stays a link.
std::string ResolveTarget(const std::string& fileName) {
  struct stat st;
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(fileName.c_str(), nullptr)) {
      std::string result(real);
      std::free(real);
      return result;
    }
  }
  return fileName;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Replaces the file's content with newContent in the file itself: not
// atomic, for the one case where nothing else can be done.
void WriteInPlace(const std::string& target, const std::string& newContent) {
  int opened = -1;
  if (const int error = OpenRegularFile(target, O_WRONLY, 0, opened); error != 0) RaiseWriteError(target, error);
  TFd fd(opened);
  if (!WriteAll(fd.Get(), newContent)) RaiseWriteError(target, errno);
  if (::ftruncate(fd.Get(), static_cast<off_t>(newContent.size())) != 0) RaiseWriteError(target, errno);
  if (::fsync(fd.Get()) != 0) RaiseWriteError(target, errno);
  if (fd.Close() != 0) RaiseWriteError(target, errno);
}

// Replaces the file's content atomically with newContent.
void ReplaceFile(const std::string& target, const std::string& newContent, const struct stat* old) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(target);
  std::string tmp;
  TFd fd;
  for (int attempt = 0; attempt < 100 && fd.Get() < 0; ++attempt) {
    tmp = TempFileName(target, ::getpid(), counter.fetch_add(1));
    fd.Reset(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    old ? (old->st_mode & 07777) : 0666));
    if (fd.Get() < 0 && (errno == EACCES || errno == EPERM) && old) {
      // A folder the user may not write, holding a file he may: no room for
      // a temporary file, so the file is written where it is.
      WriteInPlace(target, newContent);
      return;
    }
    if (fd.Get() < 0 && errno != EEXIST) RaiseWriteError(target, errno);
  }
  if (fd.Get() < 0) RaiseWriteError(target, EEXIST);

  auto fail = [&](int err) {
    fd.Close();
    ::unlink(tmp.c_str());
    RaiseWriteError(target, err);
  };
  if (old) {
    // Keep the permission bits the umask would have dropped, and the owner
    // when we are allowed to (a file written by root for a user stays his).
    if (::fchmod(fd.Get(), old->st_mode & 07777) != 0) fail(errno);
    if (old->st_uid != ::geteuid() || old->st_gid != ::getegid())
      (void)!::fchown(fd.Get(), old->st_uid, old->st_gid);
  }
  const std::string_view data = newContent;
  const size_t half = data.size() / 2;
  if (!WriteAll(fd.Get(), data.substr(0, half))) fail(errno);
  CallHook(ProfileFileTesting::wsTempPartlyWritten);
  if (!WriteAll(fd.Get(), data.substr(half))) fail(errno);
  if (::fsync(fd.Get()) != 0) fail(errno);
  if (fd.Close() != 0) fail(errno);
  CallHook(ProfileFileTesting::wsTempComplete);
  if (::rename(tmp.c_str(), target.c_str()) != 0) fail(errno);
  CallHook(ProfileFileTesting::wsRenamed);
  // The rename itself must reach the disk before the write counts as done.
  TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) (void)::fsync(dir.Get());
}

// Takes the writers' lock of target: an flock on its lock file in the
// user's runtime folder, or, without one, on target's folder itself. The
// lock never leaves a file beside the user's files.
TFd LockWriters(const std::string& fileName, const std::string& target) {
  const std::string folder = FolderOf(target);
  TFd lock;
  const std::string lockFile = ProfileLockFileName(target);
  if (!lockFile.empty()) {
    int opened = -1;
    if (OpenRegularFile(lockFile, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, opened) == 0) lock.Reset(opened);
  }
  if (lock.Get() < 0) lock.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.Get() < 0) RaiseWriteError(fileName, errno);
  while (::flock(lock.Get(), LOCK_EX) != 0)
    if (errno != EINTR) RaiseWriteError(fileName, errno);
  return lock;
}

// Whether the digits of text are all there is to it (and there is one).
bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Removes the temporary files that writes of target by processes now gone
// left behind (a crash between creating and renaming one): only names of
// our own pattern, only of a process that no longer exists. Once per file
// and process: a folder is read only at the first write into it.
void RemoveStaleTempFiles(const std::string& target) {
  static std::mutex lock;
  static std::set<std::string> cleaned;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!cleaned.insert(target).second) return;
  }
  const std::string prefix = "." + ExtractFileName(target) + ".tmp";
  DIR* dir = ::opendir(FolderOf(target).c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    const std::string_view rest = name.substr(prefix.size());
    const size_t dash = rest.find('-');
    if (dash == std::string_view::npos || !AllDigits(rest.substr(0, dash)) || !AllDigits(rest.substr(dash + 1)) ||
        dash > 9)
      continue;
    const long pid = std::stol(std::string(rest.substr(0, dash)));
    // ESRCH: no such process. EPERM means one lives (another user's).
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    stale.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) {
    const std::string path = FolderOf(target) + "/" + name;
    struct stat st;
    // A regular file of ours only; nothing through a link.
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) ::unlink(path.c_str());
  }
}

// Runs edit on the file's lines under the writers' lock and stores the
// result. edit returns false when it changed nothing.
void ModifyProfile(const std::string& fileName, const std::function<bool(TProfile&)>& edit) {
  const std::string target = ResolveTarget(fileName);
  TFd lock = LockWriters(fileName, target);

  struct stat st;
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) RaiseWriteError(fileName, errno);
  std::string content;
  if (exists) {
    if (!S_ISREG(st.st_mode)) RaiseWriteError(fileName, NOT_REGULAR_FILE_ERROR);
    // A file without any write permission bit is read-only for everyone,
    // including a privileged user, as a read-only file attribute would be.
    if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)
      RaiseWriteError(fileName, EACCES);
    if (!ReadWholeFile(target, content)) RaiseWriteError(fileName, errno);
  }
  TProfile profile;
  profile.Parse(content);
  // Lines that cannot be written back as they were are not written at all.
  if (!profile.Unwritable.empty()) throw EProfileWriteError(fileName + ": " + profile.Unwritable);
  // New lines take the file's line break as it was, also after an edit
  // that erased every line.
  (void)profile.NewLineBreak();
  if (!edit(profile)) return;
  const std::string newContent = profile.Join();
  if (exists && newContent == content) return;
  RemoveStaleTempFiles(target);
  ReplaceFile(target, newContent, exists ? &st : nullptr);
  ForgetCachedProfiles();
}

bool HasLineBreakChar(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

// Names and values that would change the file's structure are refused
// rather than written: a line break would start a new line, a ']' would end
// a section name early and an '=' or empty name would make a key unreadable.
void CheckWriteArguments(const std::string& fileName, std::string_view section,
                         std::optional<std::string_view> key, std::optional<std::string_view> value) {
  auto refuse = [&](const char* what) {
    throw EProfileWriteError(fileName + ": " + what);
  };
  if (section.empty() || HasLineBreakChar(section) || section.find(']') != std::string_view::npos)
    refuse("invalid section name");
  if (key) {
    const std::string_view k = TrimBlanks(*key);
    if (k.empty() || HasLineBreakChar(k) || k.find('=') != std::string_view::npos ||
        k.front() == '[' || k.front() == ';' || k.front() == '#')
      refuse("invalid key name");
  }
  if (value && HasLineBreakChar(*value)) refuse("line break in value");
}

}  // namespace

std::string ProfileLockFileName(const std::string& fileName) {
  // The runtime folder is the user's own (mode 0700, emptied at logout); the
  // lock's name comes from the file's folder (device and inode, so every
  // spelling of the path meets the same lock) and the file's name.
  // A process started outside the user's session (cron, ssh without a
  // session manager) lacks the variable but has the same folder.
  const char* variable = std::getenv("XDG_RUNTIME_DIR");
  const std::string runtime = variable && variable[0] == '/' ? std::string(variable)
                                                              : "/run/user/" + std::to_string(::geteuid());
  struct stat base;
  if (::stat(runtime.c_str(), &base) != 0 || !S_ISDIR(base.st_mode) || base.st_uid != ::geteuid()) return {};
  struct stat folder;
  if (::stat(FolderOf(fileName).c_str(), &folder) != 0) return {};
  const std::string locks = runtime + "/velmar-manager";
  if (::mkdir(locks.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat own;
  if (::lstat(locks.c_str(), &own) != 0 || !S_ISDIR(own.st_mode) || own.st_uid != ::geteuid()) return {};
  // FNV-1a of the name: short, and the same in every process.
  uint64_t hash = 14695981039346656037ull;
  for (const char c : ExtractFileName(fileName)) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char name[96];
  std::snprintf(name, sizeof name, "/%llx-%llx-%016llx.lock", static_cast<unsigned long long>(folder.st_dev),
                static_cast<unsigned long long>(folder.st_ino), static_cast<unsigned long long>(hash));
  return locks + name;
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& fileName) {
  const auto held = ReadProfile(fileName);
  const TProfile& profile = *held;
  section = TrimBlanks(section);
  key = TrimBlanks(key);
  const size_t header = profile.FindSection(section);
  if (header == std::string::npos) return std::string(defaultValue);
  const size_t end = profile.SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    const TLine& line = profile.Lines[i];
    if (line.Kind == lkKey && SameName(line.Name, key)) return ValueForReading(line.Value);
  }
  return std::string(defaultValue);
}

std::optional<std::string> GetPrivateProfileUncutString(std::string_view section, std::string_view key,
                                                        const std::string& fileName) {
  const auto held = ReadProfile(fileName);
  const TProfile& profile = *held;
  const size_t header = profile.FindSection(TrimBlanks(section));
  if (header == std::string::npos) return std::nullopt;
  key = TrimBlanks(key);
  const size_t end = profile.SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    const TLine& line = profile.Lines[i];
    if (line.Kind == lkKey && SameName(line.Name, key)) return std::string(Unquoted(line.Value));
  }
  return std::nullopt;
}

TProfileFileCheck CheckProfileFile(const std::string& fileName) {
  TProfileFileCheck check;
  std::string content;
  if (!ReadWholeFile(fileName, content)) {
    check.Error = errno;
    struct stat st;
    if (check.Error == EFBIG && ::stat(fileName.c_str(), &st) == 0) check.Size = static_cast<uint64_t>(st.st_size);
    return check;
  }
  check.Size = content.size();
  TProfile profile;
  profile.Parse(content);
  check.Writable = profile.Unwritable.empty();
  check.Text = check.Writable && (profile.Encoding != teUtf8 || IsUtf8Text(profile.Join()));
  return check;
}

std::string TempFileName(const std::string& fileName, long pid, unsigned n) {
  return FolderOf(fileName) + "/." + ExtractFileName(fileName) + ".tmp" + std::to_string(pid) + "-" +
         std::to_string(n);
}

namespace {

// Applies one write to the lines; false when it changed nothing.
bool ApplyWrite(TProfile& p, const TProfileWrite& w) {
  const std::string_view section = TrimBlanks(w.Section);
  if (!w.Key) {
    bool changed = false;
    for (size_t h = p.FindSection(section); h != std::string::npos; h = p.FindSection(section, h)) {
      // Comments and blank lines after the section's last key usually
      // introduce what follows, so they stay.
      size_t end = h + 1;
      for (size_t i = h + 1; i < p.SectionEnd(h); ++i)
        if (p.Lines[i].Kind == lkKey) end = i + 1;
      p.EraseLines(h, end);
      changed = true;
    }
    return changed;
  }

  const std::string_view k = TrimBlanks(*w.Key);
  if (!w.Value) {
    const size_t h = p.FindSection(section);
    if (h == std::string::npos) return false;
    bool changed = false;
    for (size_t i = p.SectionEnd(h); i-- > h + 1;) {
      if (p.Lines[i].Kind == lkKey && SameName(p.Lines[i].Name, k)) {
        p.EraseLines(i, i + 1);
        changed = true;
      }
    }
    return changed;
  }

  const std::string entry = std::string(k) + "=" + *w.Value;
  const std::string br = p.NewLineBreak();
  const size_t h = p.FindSection(section);
  if (h == std::string::npos) {
    p.InsertLine(p.Lines.size(), "[" + std::string(section) + "]", br);
    p.InsertLine(p.Lines.size(), entry, br);
    return true;
  }
  const size_t end = p.SectionEnd(h);
  size_t afterLastKey = h + 1;
  for (size_t i = h + 1; i < end; ++i) {
    TLine& line = p.Lines[i];
    if (line.Kind != lkKey) continue;
    if (SameName(line.Name, k)) {
      line.Raw = entry + std::string(LineBreakOf(line.Raw));
      Classify(line);
      return true;
    }
    afterLastKey = i + 1;
  }
  p.InsertLine(afterLastKey, entry, br);
  return true;
}

}  // namespace

void WritePrivateProfileString(std::string_view section, std::optional<std::string_view> key,
                               std::optional<std::string_view> value, const std::string& fileName) {
  TProfileWrite w{std::string(section), std::nullopt, std::nullopt};
  if (key) w.Key = std::string(*key);
  if (value) w.Value = std::string(*value);
  WritePrivateProfileStrings({w}, fileName);
}

void WritePrivateProfileStrings(const std::vector<TProfileWrite>& writes, const std::string& fileName) {
  // Every write is checked before any is applied, so a refused one leaves
  // the file as it was.
  for (const TProfileWrite& w : writes)
    CheckWriteArguments(fileName, TrimBlanks(w.Section), w.Key, w.Value);
  if (writes.empty()) return;
  ModifyProfile(fileName, [&](TProfile& p) {
    bool changed = false;
    for (const TProfileWrite& w : writes) changed = ApplyWrite(p, w) || changed;
    return changed;
  });
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& fileName) {
  const auto held = ReadProfile(fileName);
  const TProfile& profile = *held;
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const TLine& line : profile.Lines) {
    if (line.Kind != lkSection) continue;
    std::string lower = line.Name;
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    if (seen.insert(std::move(lower)).second) names.push_back(line.Name);
  }
  return names;
}

std::vector<TProfileSectionHeader> GetPrivateProfileSectionHeaders(const std::string& fileName) {
  const auto held = ReadProfile(fileName);
  std::vector<TProfileSectionHeader> headers;
  for (const TLine& line : held->Lines) {
    if (line.Kind == lkSection) headers.push_back({line.Name, 0});
    else if (line.Kind == lkKey && !headers.empty()) ++headers.back().KeyCount;
  }
  return headers;
}

std::vector<std::string> GetPrivateProfileSectionKeys(std::string_view section,
                                                      const std::string& fileName) {
  const auto held = ReadProfile(fileName);
  const TProfile& profile = *held;
  std::vector<std::string> keys;
  const size_t header = profile.FindSection(TrimBlanks(section));
  if (header == std::string::npos) return keys;
  const size_t end = profile.SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i)
    if (profile.Lines[i].Kind == lkKey) keys.push_back(profile.Lines[i].Name);
  return keys;
}

namespace ProfileFileTesting {
void SetWriteHook(TWriteHook hook) { GWriteHook.store(hook); }
}  // namespace ProfileFileTesting

}  // namespace Platform

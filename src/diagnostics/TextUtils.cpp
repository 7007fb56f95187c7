#include "diagnostics/TextUtils.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diagnostics/Exception.h"
#include "platform/Files.h"
#include "platform/Locale.h"
#include "platform/MessageBox.h"

std::string FormatFailureText(std::string_view fmt, const std::exception& e) {
  std::string name = "Exception";
  std::string message = e.what();
  if (auto* own = dynamic_cast<const Exception*>(&e)) {
    name = own->ClassName();
    message = own->Message();
  }
  std::string text = "Could not create message from format \"";
  text.append(fmt);
  text += "\" because: " + message + " (" + name + ")";
  return text;
}

namespace TextUtils {
namespace {
char gListSeparator = ',';
}

char ListSeparator() { return gListSeparator; }

namespace {

// Appends text; on failure cuts off what got in beyond the first `kept`
// bytes of it (computed from the part that got in) and raises.
template <class Kept>
void Append(std::string_view text, const std::string& fileName, Kept kept) {
  // Not through a link at the last element: a log file replaced by a link
  // would have our lines written into whatever file it points at.
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throw EInOutError(Platform::OpenErrorMessage(errno));
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  // A file without any write permission bit is read-only for everyone, a
  // privileged user included, as a read-only file attribute would be.
  if (sized && (before.st_mode & 0222) == 0) {
    ::close(fd);
    throw EInOutError(std::strerror(EACCES));
  }
  size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // A full disk may take part of the text: cut that part off again (all of
  // it, or what follows the last whole line), so the file ends with the last
  // whole text written and the next one does not continue a broken line.
  // Only when nobody else appended meanwhile.
  struct stat after {};
  if (error && done > 0 && sized && ::fstat(fd, &after) == 0 &&
      after.st_size == before.st_size + static_cast<off_t>(done)) {
    const size_t keep = kept(text.substr(0, done));
    if (keep < done) (void)!::ftruncate(fd, before.st_size + static_cast<off_t>(keep));
  }
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error) throw EInOutError(std::strerror(error));
}

}  // namespace

void AppendToFile(std::string_view text, const std::string& fileName) {
  Append(text, fileName, [](std::string_view) { return size_t{0}; });
}

void AppendLinesToFile(std::string_view lines, const std::string& fileName) {
  Append(lines, fileName, [](std::string_view written) {
    const size_t end = written.rfind(CRLF);
    return end == std::string_view::npos ? size_t{0} : end + 2;
  });
}

void AppendLineToFile(std::string_view text, const std::string& fileName) {
  if (text.size() >= 2 && text.substr(text.size() - 2) == CRLF) {
    AppendToFile(text, fileName);
  } else {
    std::string line(text);
    line += CRLF;
    AppendToFile(line, fileName);
  }
}

bool IsSpace(char c) { return c == ' ' || c == TAB || c == CR || c == LF; }

std::string Trim(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsSpace(text[first])) ++first;
  while (last > first && IsSpace(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

void CheckListSeparator() {
  const Platform::TRegionalSettings& settings = Platform::RegionalSettings();
  gListSeparator = settings.ListSeparator ? settings.ListSeparator : ',';
  if (gListSeparator == settings.DecimalSeparator) {
    gListSeparator = gListSeparator == ',' ? ';' : ',';
    Platform::ShowMessageBox(Platform::mbWarning,
                             std::string("The regional list separator and decimal separator are configured to be the "
                                         "same character.  We will instead use \"") +
                                 gListSeparator + "\" as the list separator.");
  }
}

std::string SafeFormat(std::string_view fmt, FmtArgs args) {
  try {
    return Format(fmt, args);
  } catch (const EConvertError& e) {
    std::string text = FormatFailureText(fmt, e);
    Platform::ShowMessageBox(Platform::mbError, text);
    return text;
  }
}

}  // namespace TextUtils

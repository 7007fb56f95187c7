#include "platform/Locale.h"

#include <clocale>
#include <cstring>
#include <langinfo.h>
#include <mutex>
#include <optional>

namespace Platform {
namespace {
std::mutex gMutex;
std::optional<TRegionalSettings> gSettings;
}  // namespace

TRegionalSettings ReadLocaleSettings() {
  TRegionalSettings s;
  std::setlocale(LC_ALL, "");
  const char* decimal = nl_langinfo(RADIXCHAR);
  if (decimal && decimal[0] && !decimal[1]) s.DecimalSeparator = decimal[0];
  s.ListSeparator = s.DecimalSeparator == ',' ? ';' : ',';
  // The separator is the first character after the hour directive of the
  // locale's time format ("%H:%M:%S" → ':').
  s.TimeSeparator = ':';
  const char* tf = nl_langinfo(T_FMT);
  if (tf) {
    for (const char* p = tf; p[0] && p[1]; ++p) {
      if (p[0] == '%' && (p[1] == 'H' || p[1] == 'I' || p[1] == 'k' || p[1] == 'l')) {
        const char sep = p[2];
        if (sep && sep != '%' && !(sep >= '0' && sep <= '9')) s.TimeSeparator = sep;
        break;
      }
    }
  }
  // Numbers written by the program (JSON, settings) stay in the C form.
  std::setlocale(LC_NUMERIC, "C");
  return s;
}

const TRegionalSettings& RegionalSettings() {
  std::lock_guard lock(gMutex);
  if (!gSettings) gSettings = ReadLocaleSettings();
  return *gSettings;
}

void SetRegionalSettings(const TRegionalSettings& settings) {
  std::lock_guard lock(gMutex);
  gSettings = settings;
}

}  // namespace Platform

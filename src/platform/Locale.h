#pragma once
// The regional format settings the program uses: decimal, list and time
// separators. Read once from the user's locale; tests inject their own.
namespace Platform {

struct TRegionalSettings {
  char DecimalSeparator = '.';
  // Linux locales have no list separator: the one Windows uses for such a
  // locale by default (";" where the decimal separator is ",", else ",").
  char ListSeparator = ',';
  char TimeSeparator = ':';
};

// The settings as read at first use (setlocale(LC_ALL, "") then the locale's
// numeric and time formats), or as injected.
const TRegionalSettings& RegionalSettings();

// Replaces the settings for the rest of the process (tests, start-up).
void SetRegionalSettings(const TRegionalSettings& settings);

// Reads the current locale's settings without storing them.
TRegionalSettings ReadLocaleSettings();

}  // namespace Platform

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "diagnostics/Exception.h"
#include "diagnostics/Format.h"
#include "platform/Locale.h"

namespace {

std::string ErrorOf(auto&&... call) {
  try {
    FormatV(call...);
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "no error";
}

TEST(Format, PlaceholdersWidthAndPrecision) {
  Platform::SetRegionalSettings({'.', ',', ':'});
  EXPECT_EQ(FormatV("%s/%d/%u", "a", -5, 7u), "a/-5/7");
  EXPECT_EQ(FormatV("%4.4x%4.4x", uint16_t{0x0409}, uint16_t{0x04E4}), "040904E4");
  EXPECT_EQ(FormatV("%x", 255), "FF");
  EXPECT_EQ(FormatV("%u", -1), "4294967295");
  EXPECT_EQ(FormatV("[%5d|%-5d|%.3d]", 42, 42, 7), "[   42|42   |007]");
  EXPECT_EQ(FormatV("%.2s|%6s", "abcdef", "ab"), "ab|    ab");
  EXPECT_EQ(FormatV("100%%"), "100%");
  EXPECT_EQ(FormatV("%f %.3f", 1.5, 2.0), "1.50 2.000");
  EXPECT_EQ(FormatV("%g", 0.1), "0.1");
  EXPECT_EQ(FormatV("%e", 1500.0), "1.50000000000000E+03");
  EXPECT_EQ(FormatV("%*d", 4, 1), "   1");
  EXPECT_EQ(FormatV("%d", INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(FormatV("%d", UINT64_MAX), "18446744073709551615");
}

TEST(Format, DecimalSeparatorFromRegion) {
  Platform::SetRegionalSettings({',', ';', ':'});
  EXPECT_EQ(FormatV("%.1f", 2.5), "2,5");
  Platform::SetRegionalSettings({'.', ',', ':'});
}

TEST(Format, MismatchesAreErrorsNotUndefinedBehaviour) {
  EXPECT_EQ(ErrorOf("%d", "text"), "Format '%d' invalid or incompatible with argument");
  EXPECT_EQ(ErrorOf("%s", 5), "Format '%s' invalid or incompatible with argument");
  EXPECT_EQ(ErrorOf("%f", 5), "Format '%f' invalid or incompatible with argument");
  EXPECT_EQ(ErrorOf("%x", 1.0), "Format '%x' invalid or incompatible with argument");
  EXPECT_EQ(ErrorOf("%s %s", "a"), "No argument for format '%s'");
  EXPECT_EQ(ErrorOf("%q", 1), "Format '%q' invalid or incompatible with argument");
  EXPECT_EQ(ErrorOf("trailing %", 1), "Format '%' invalid or incompatible with argument");
  EXPECT_EQ(ErrorOf("%*d", "w", 1), "Format '%*' invalid or incompatible with argument");
  // Surplus arguments are ignored.
  EXPECT_EQ(FormatV("%d", 1, 2), "1");
  // A huge width is clamped instead of allocating without bound.
  EXPECT_EQ(FormatV("%999999999d", 1).size(), 4096u);
}

}  // namespace

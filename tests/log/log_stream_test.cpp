// The bytes of a log line: one byte per UTF-16 code unit up to U+00FF, '?' for
// every unit above, CR LF for a line feed and at the end. The header check of
// an existing file compares against these bytes, so they must be the same on
// both platforms (wchar_t is 16 bits on Windows, 32 on Linux).
#include <gtest/gtest.h>

#include <string>

#include "log_stream.h"

namespace {

using namespace std::string_literals;

TEST(EncodeLogLineTest, PlainTextGetsCrLfAndNoByteOrderMark) {
  EXPECT_EQ(EncodeLogLine(L""), "\r\n");
  EXPECT_EQ(EncodeLogLine(L"# LogFormatVersion:V1.00"), "# LogFormatVersion:V1.00\r\n");
  EXPECT_EQ(EncodeLogLine(L"a\0b"s), "a\0b\r\n"s) << "a NUL is a character like any other";
}

TEST(EncodeLogLineTest, LatinOneIsOneByteAndEverythingAboveIsAQuestionMarkPerCodeUnit) {
  EXPECT_EQ(EncodeLogLine(L"\u00E9t\u00E9 \u00FF"), "\xE9t\xE9 \xFF\r\n");
  EXPECT_EQ(EncodeLogLine(L"\u0100\u20AC\uFFFF"), "???\r\n");
  // Outside the BMP: two code units, so two marks, whichever width wchar_t has.
  EXPECT_EQ(EncodeLogLine(L"x\U0001F50By"), "x??y\r\n");
  // A lone surrogate is one code unit above U+00FF.
  EXPECT_EQ(EncodeLogLine(std::wstring(1, static_cast<wchar_t>(0xD800))), "?\r\n");
}

TEST(EncodeLogLineTest, LineFeedsBecomeCrLfAndCarriageReturnsStayAsTheyAre) {
  EXPECT_EQ(EncodeLogLine(L"a\nb"), "a\r\nb\r\n");
  EXPECT_EQ(EncodeLogLine(L"a\rb"), "a\rb\r\n");
  // As a text-mode stream writes it: the CR before the line feed is kept.
  EXPECT_EQ(EncodeLogLine(L"a\r\nb"), "a\r\r\nb\r\n");
  EXPECT_EQ(EncodeLogLine(L"\n\n"), "\r\n\r\n\r\n");
}

// Long rows go through the fast copy first; a character that needs the careful
// way anywhere in them, even the last, must give the same bytes as a short row.
TEST(EncodeLogLineTest, ALongRowWithOneSpecialCharacterAnywhereIsEncodedWhole) {
  const std::wstring plain(300, L'7');
  for (std::size_t at : {std::size_t{0}, std::size_t{150}, std::size_t{299}}) {
    std::wstring withFeed = plain;
    withFeed[at] = L'\n';
    EXPECT_EQ(EncodeLogLine(withFeed), std::string(at, '7') + "\r\n" + std::string(299 - at, '7') + "\r\n") << at;
    std::wstring withEuro = plain;
    withEuro[at] = L'\u20AC';
    EXPECT_EQ(EncodeLogLine(withEuro), std::string(at, '7') + "?" + std::string(299 - at, '7') + "\r\n") << at;
  }
}

TEST(AppendLogTextTest, AppendsAfterWhatIsThereAndAddsNoLineEnd) {
  std::string bytes = "20240101T000000+0000";
  AppendLogText(bytes, L",");
  AppendLogText(bytes, L"\u00E9\u0100\n");
  EXPECT_EQ(bytes, "20240101T000000+0000,\xE9?\r\n");
  AppendLogText(bytes, L"");
  EXPECT_EQ(bytes, "20240101T000000+0000,\xE9?\r\n");
}

}  // namespace

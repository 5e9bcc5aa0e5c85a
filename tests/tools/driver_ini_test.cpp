// driver.ini: what the installer accepts, what it refuses (with the line),
// and how it numbers the devnodes so their interface paths keep the file's order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_ini.h"

namespace {

const char* const kGuidSuffix = "#{45bd8344-7ed6-49cf-a440-c276c933b053}";

struct Parsed {
  bool ok = false;
  driver_ini ini{};
  std::string error;
  std::vector<std::string> warnings;
  Parsed() = default;
  Parsed(const Parsed&) = delete;
  Parsed& operator=(const Parsed&) = delete;
  ~Parsed() { driver_ini_free(&ini); }
  const driver_ini_device& Device(size_t index) const { return ini.devices[index]; }
};

void CollectWarning(const char* message, void* context) {
  static_cast<std::vector<std::string>*>(context)->push_back(message);
}

void Parse(const std::string& text, Parsed* out) {
  char error[DRIVER_INI_ERROR_MAX] = "";
  out->ok =
      driver_ini_parse(text.data(), text.size(), &out->ini, error, sizeof error, CollectWarning, &out->warnings) != 0;
  out->error = error;
}

std::u16string Component(const driver_ini_device& device) {
  std::u16string name;
  for (const uint16_t* at = device.config.component; *at; ++at) name.push_back(static_cast<char16_t>(*at));
  return name;
}

std::string RootPath(const char* number) { return std::string("\\\\?\\root#tarnpwr#") + number + kGuidSuffix; }

TEST(DriverIni, ParsesTheDocumentedExampleWithItsComments) {
  Parsed parsed;
  Parse(
      "; one section per device interface of the power-monitor class\n"
      "[device]\n"
      "path = \\\\?\\root#tarnpwr#0000#{45bd8344-7ed6-49cf-a440-c276c933b053}\n"
      "component = WIFI          ; the name at byte 72 of the information block\n"
      "check = 1                 ; the check reply (default 1)\n"
      "reading0 = 500            ; decimal or 0x hex\n"
      "reading1 = 0\n"
      "fail = read 31            ; optional\n",
      &parsed);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.ini.count, 1u);
  const driver_ini_device& device = parsed.Device(0);
  EXPECT_EQ(device.line, 2u);
  EXPECT_EQ(std::string(device.path), RootPath("0000"));
  EXPECT_EQ(Component(device), u"WIFI");
  EXPECT_EQ(device.config.check, 1);
  EXPECT_EQ(device.config.reading[0].start, 500u);
  EXPECT_EQ(device.config.reading[0].step, 0u);
  EXPECT_EQ(device.config.fail_request, static_cast<uint32_t>(SIMDEV_REQUEST_READ));
  EXPECT_EQ(device.config.fail_error, 31u);
  EXPECT_TRUE(parsed.warnings.empty());
}

TEST(DriverIni, DefaultsCountersHexAndCaseInsensitiveNames) {
  Parsed parsed;
  Parse(
      "\xEF\xBB\xBF[Device]\r\nCOMPONENT = BATTERY\r\n"
      "[DEVICE]\r\nReading0 = counter 0xFFFFFFFFFFFFFFFF 2\r\nreading1 = 18446744073709551615\r\n"
      "Fail = Open 0x5\r\n",
      &parsed);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.ini.count, 2u);
  EXPECT_EQ(Component(parsed.Device(0)), u"BATTERY");
  EXPECT_EQ(parsed.Device(0).config.check, 1) << "check defaults to 1";
  EXPECT_EQ(parsed.Device(0).config.fail_request, static_cast<uint32_t>(SIMDEV_REQUEST_NONE));
  EXPECT_EQ(parsed.Device(0).path[0], '\0');
  EXPECT_EQ(parsed.Device(1).config.reading[0].start, UINT64_MAX);
  EXPECT_EQ(parsed.Device(1).config.reading[0].step, 2u);
  EXPECT_EQ(parsed.Device(1).config.reading[1].start, UINT64_MAX);
  EXPECT_EQ(parsed.Device(1).config.fail_request, static_cast<uint32_t>(SIMDEV_REQUEST_OPEN));
  EXPECT_EQ(parsed.Device(1).config.fail_error, 5u);
}

TEST(DriverIni, ASemicolonInsideAValueIsNotAComment) {
  Parsed parsed;
  Parse("[device]\ncomponent = A;B ; but this is\n", &parsed);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(Component(parsed.Device(0)), u"A;B");
}

TEST(DriverIni, ComponentNamesAreUtf8AndLimitedTo63Utf16Units) {
  Parsed accents, astral, too_long, broken, overlong;
  Parse("[device]\ncomponent = \xC3\x89T\xC3\x89\n", &accents);  // "ÉTÉ"
  ASSERT_TRUE(accents.ok) << accents.error;
  EXPECT_EQ(Component(accents.Device(0)), u"\u00C9T\u00C9");
  Parse("[device]\ncomponent = \xF0\x9F\x94\x8B\n", &astral);  // U+1F50B, a surrogate pair
  ASSERT_TRUE(astral.ok) << astral.error;
  EXPECT_EQ(Component(astral.Device(0)), u"\U0001F50B");
  Parse("[device]\ncomponent = " + std::string(64, 'X') + "\n", &too_long);
  EXPECT_FALSE(too_long.ok);
  EXPECT_NE(too_long.error.find("63"), std::string::npos) << too_long.error;
  Parse("[device]\ncomponent = \xC3\n", &broken);
  EXPECT_FALSE(broken.ok);
  Parse("[device]\ncomponent = \xC0\xAF\n", &overlong);
  EXPECT_FALSE(overlong.ok) << "overlong encodings are not valid UTF-8";
}

struct Refusal {
  const char* text;
  const char* line;     // expected "line N" in the message
  const char* mention;  // a word the message must contain
};

class DriverIniRefuses : public testing::TestWithParam<Refusal> {};

TEST_P(DriverIniRefuses, WithTheLineAndTheReason) {
  Parsed parsed;
  Parse(GetParam().text, &parsed);
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.ini.count, 0u) << "a refused file leaves no devices";
  EXPECT_NE(parsed.error.find(GetParam().line), std::string::npos) << parsed.error;
  EXPECT_NE(parsed.error.find(GetParam().mention), std::string::npos) << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, DriverIniRefuses,
    testing::Values(Refusal{"component = WIFI\n", "line 1", "outside"},
                    Refusal{"[device]\nreading0 = 18446744073709551616\n", "line 2", "reading0"},
                    Refusal{"[device]\nreading1 = counter 5\n", "line 2", "counter"},
                    Refusal{"[device]\nreading0 = -1\n", "line 2", "reading0"},
                    Refusal{"[device]\nreading0 = 0x\n", "line 2", "reading0"},
                    Refusal{"[device]\ncheck = 65536\n", "line 2", "check"},
                    Refusal{"[device]\nfail = write 5\n", "line 2", "write"},
                    Refusal{"[device]\nfail = read 0\n", "line 2", "1 to 65535"},
                    Refusal{"[device]\nfail = read 65536\n", "line 2", "1 to 65535"},
                    Refusal{"[device]\nfail = read\n", "line 2", "REQUEST CODE"},
                    Refusal{"[device]\ncheck = 1\ncheck = 2\n", "line 3", "twice"},
                    Refusal{"[device]\njust words\n", "line 2", "key = value"}, Refusal{"[device\n", "line 1", "]"},
                    Refusal{"[device]\npath = \\\\?\\a\n[device]\npath = \\\\?\\a\n", "line 3", "also given"}));

TEST(DriverIni, UnknownKeysAndSectionsAreSkippedWithAWarning) {
  Parsed parsed;
  Parse("[machine]\nname = x\n[device]\ncomponent = MBB\ncolour = blue\n", &parsed);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.ini.count, 1u);
  EXPECT_EQ(parsed.ini.warnings, 2u);
  ASSERT_EQ(parsed.warnings.size(), 2u);
  EXPECT_NE(parsed.warnings[0].find("line 1"), std::string::npos);
  EXPECT_NE(parsed.warnings[1].find("colour"), std::string::npos);
}

TEST(DriverIni, OverlongLinesAreRefused) {
  Parsed parsed;
  Parse("[device]\ncomponent = " + std::string(2000, 'A') + "\n", &parsed);
  EXPECT_FALSE(parsed.ok);
  EXPECT_NE(parsed.error.find("line 2"), std::string::npos) << parsed.error;
}

std::vector<unsigned> Instances(const std::string& text, bool* ok, std::string* error = nullptr) {
  Parsed parsed;
  Parse(text, &parsed);
  EXPECT_TRUE(parsed.ok) << parsed.error;
  char message[DRIVER_INI_ERROR_MAX] = "";
  *ok = driver_ini_assign_instances(&parsed.ini, message, sizeof message) != 0;
  if (error) *error = message;
  std::vector<unsigned> numbers;
  for (size_t i = 0; i < parsed.ini.count; ++i) numbers.push_back(parsed.Device(i).instance);
  return numbers;
}

TEST(DriverIniInstances, RootPathsKeepTheirOwnNumbersInAnyCase) {
  bool ok = false;
  std::string upper = "\\\\?\\ROOT#TARNPWR#0007#{45BD8344-7ED6-49CF-A440-C276C933B053}";
  auto numbers = Instances("[device]\npath = " + RootPath("0012") + "\n[device]\npath = " + upper + "\n", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(numbers, (std::vector<unsigned>{12, 7}));
}

TEST(DriverIniInstances, OtherPathsAreNumberedInOrdinalOrderWithPathlessSectionsLast) {
  bool ok = false;
  auto numbers = Instances(
      "[device]\ncomponent = A\n"
      "[device]\npath = \\\\?\\acpi#b\n"
      "[device]\npath = \\\\?\\ACPI#c\n"  // upper case sorts before lower case, as in the service
      "[device]\ncomponent = D\n"
      "[device]\npath = " +
          RootPath("0000") + "\n",
      &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(numbers, (std::vector<unsigned>{3, 1, 0, 4, 2}));
}

TEST(DriverIniInstances, TwoRootPathsWithOneNumberAreRefused) {
  bool ok = true;
  std::string error;
  std::string same_number_other_case = "\\\\?\\root#TARNPWR#0001" + std::string(kGuidSuffix);
  Instances("[device]\npath = " + RootPath("0001") + "\n[device]\npath = " + same_number_other_case + "\n", &ok,
            &error);
  EXPECT_FALSE(ok);
  EXPECT_NE(error.find("0001"), std::string::npos) << error;
}

}  // namespace

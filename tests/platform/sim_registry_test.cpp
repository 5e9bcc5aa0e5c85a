// The stand-in's registry over registry.reg.
#include <gtest/gtest.h>

#include <windows.h>

#include <share.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "tarn_sim/machine.h"
#include "test_machine.h"

namespace tarn::test {
namespace {

constexpr LSTATUS kKeyDeleted = 1018;

struct Reply {
  LSTATUS status = -1;
  DWORD type = REG_NONE;
  DWORD size = 0;
  std::vector<BYTE> data;
};

// Opens HKLM\<key> with the access given and queries one value into a buffer of `capacity` bytes.
Reply Query(const wchar_t* key, const wchar_t* name, REGSAM access = KEY_QUERY_VALUE, DWORD capacity = 256) {
  Reply reply;
  HKEY opened = nullptr;
  reply.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, access, &opened);
  if (reply.status != ERROR_SUCCESS) return reply;
  reply.data.assign(capacity, 0xCC);
  reply.size = capacity;
  reply.status = RegQueryValueExW(opened, name, nullptr, &reply.type, reply.data.data(), &reply.size);
  reply.data.resize(reply.status == ERROR_SUCCESS ? reply.size : 0);
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
  return reply;
}

class SimRegistryTest : public ::testing::Test {
 protected:
  static void WriteFile(const std::string& bytes) {
    std::ofstream(*tarn::sim::MachineRoot() / "registry.reg", std::ios::binary) << bytes;
  }
  static void WriteReg(const std::string& body) { WriteFile("Windows Registry Editor Version 5.00\r\n\r\n" + body); }
  TestMachine _machine;
};

TEST_F(SimRegistryTest, ValuesComeWithTheirTypesAndSizesAsWindowsReportsThem) {
  WriteReg(
      "; settings\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
      "\"Number\"=dword:0000ea60 ; sixty thousand\r\n"
      "\"Text\"=\"a\\\\b\\\"c\"\r\n"
      "@=\"default\"\r\n"
      "\"Bytes\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n");
  const Reply number = Query(L"SOFTWARE\\Test", L"Number");
  EXPECT_EQ(number.status, ERROR_SUCCESS);
  EXPECT_EQ(number.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(number.data, (std::vector<BYTE>{0x60, 0xEA, 0, 0}));

  const Reply text = Query(L"SOFTWARE\\Test", L"Text");
  EXPECT_EQ(text.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(text.data, (std::vector<BYTE>{'a', 0, '\\', 0, 'b', 0, '"', 0, 'c', 0, 0, 0}));  // UTF-16LE, terminated
  EXPECT_EQ(Query(L"SOFTWARE\\Test", nullptr).size, 16u);
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"Bytes").data, (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"Quad").type, static_cast<DWORD>(REG_QWORD));
}

TEST_F(SimRegistryTest, SmallBufferGivesMoreDataAndTheSizeNeeded) {
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"Text\"=\"abcdef\"\r\n");
  const Reply small = Query(L"SOFTWARE\\Test", L"Text", KEY_QUERY_VALUE, 4);
  EXPECT_EQ(small.status, ERROR_MORE_DATA);
  EXPECT_EQ(small.size, 14u);
  EXPECT_EQ(small.type, static_cast<DWORD>(REG_SZ));

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 14u);
  BYTE data[4];
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistryTest, NamesCompareWithoutCaseAndMissingOnesAreNotFound) {
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n\"Value\"=dword:00000001\r\n");
  EXPECT_EQ(Query(L"software\\VENDOR\\product", L"VALUE").status, ERROR_SUCCESS);
  EXPECT_EQ(Query(L"SOFTWARE\\Vendor", L"Value").status, ERROR_FILE_NOT_FOUND);  // parent exists, without the value
  EXPECT_EQ(Query(L"SOFTWARE\\Vendor\\Other", L"Value").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(L"SOFTWARE\\Vendor\\Product", L"Other").status, ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistryTest, RegeditFilesInUtf16AreRead) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"N\"=dword:00000007\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += {c, '\0'};
  WriteFile(utf16);
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"N").data, (std::vector<BYTE>{7, 0, 0, 0}));
}

TEST_F(SimRegistryTest, MalformedUtf8NeverSwallowsTheNextLine) {
  for (const char* stray : {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xFF", "\x80"}) {
    WriteReg(std::string("; comment ending in a cut character ") + stray +
             "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"N\"=dword:00000007 ;" + stray +
             "\n\"M\"=dword:00000008\r\n");
    EXPECT_EQ(Query(L"SOFTWARE\\Test", L"N").data, (std::vector<BYTE>{7, 0, 0, 0})) << stray;
    EXPECT_EQ(Query(L"SOFTWARE\\Test", L"M").data, (std::vector<BYTE>{8, 0, 0, 0})) << stray;
  }
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"T\"=\"\xC3\xA9\xE2\x82\xAC\xC0\xAF\"\r\n");
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"T").data, (std::vector<BYTE>{0xE9, 0, 0xAC, 0x20, 0xFD, 0xFF, 0xFD, 0xFF, 0, 0}))
      << "valid sequences decode; an overlong form is two replacement characters";
}

TEST_F(SimRegistryTest, OnlyARegularFileIsRead) {
  const auto path = *tarn::sim::MachineRoot() / "registry.reg";
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"N").status, ERROR_FILE_NOT_FOUND) << "a FIFO with no writer does not block";
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"N").status, ERROR_FILE_NOT_FOUND);
  std::filesystem::remove(path);
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"N\"=dword:00000007\r\n");
  EXPECT_EQ(Query(L"SOFTWARE\\Test", L"N").status, ERROR_SUCCESS) << "a regular file again is read again";
}

TEST_F(SimRegistryTest, RemovalLinesAndAWrongFirstLineAreHonoured) {
  WriteReg(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Child]\r\n\"A\"=dword:1\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\r\n\"A\"=dword:1\r\n\"B\"=dword:2\r\n\"A\"=-\r\n");
  EXPECT_EQ(Query(L"SOFTWARE\\Gone\\Child", L"A").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(L"SOFTWARE\\Kept", L"A").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(L"SOFTWARE\\Kept", L"B").status, ERROR_SUCCESS);

  WriteFile("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\r\n\"B\"=dword:2\r\n");
  EXPECT_EQ(Query(L"SOFTWARE\\Kept", L"B").status, ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistryTest, ThirtyTwoBitViewPrefersWow6432NodeAndFallsBack) {
  WriteReg(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Both]\r\n\"V\"=dword:00000032\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Both]\r\n\"V\"=dword:00000064\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Only32]\r\n\"V\"=dword:00000032\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Only64]\r\n\"V\"=dword:00000064\r\n");
  auto value = [](const wchar_t* key, REGSAM access) {
    Reply reply = Query(key, L"V", access);
    return reply.status == ERROR_SUCCESS ? static_cast<int>(reply.data[0]) : -static_cast<int>(reply.status);
  };
  EXPECT_EQ(value(L"SOFTWARE\\Both", KEY_QUERY_VALUE), 0x32);
  EXPECT_EQ(value(L"SOFTWARE\\Both", KEY_QUERY_VALUE | KEY_WOW64_32KEY), 0x32);
  EXPECT_EQ(value(L"SOFTWARE\\Both", KEY_QUERY_VALUE | KEY_WOW64_64KEY), 0x64);
  EXPECT_EQ(value(L"SOFTWARE\\Only32", KEY_QUERY_VALUE | KEY_WOW64_32KEY), 0x32);
  EXPECT_EQ(value(L"SOFTWARE\\Only32", KEY_QUERY_VALUE | KEY_WOW64_64KEY), -ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value(L"SOFTWARE\\Only64", KEY_QUERY_VALUE | KEY_WOW64_32KEY), 0x64);
}

TEST_F(SimRegistryTest, EditedFileIsSeenByTheNextCallEvenThroughAnOpenKey) {
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"N\"=dword:00000001\r\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"N\"=dword:00000002\r\n");  // same size, same instant
  DWORD value = 0, size = sizeof(value);
  EXPECT_EQ(RegQueryValueExW(key, L"N", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  WriteReg("");
  EXPECT_EQ(RegQueryValueExW(key, L"N", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), kKeyDeleted);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// The service reads settings on one thread while others open files; the
// stand-in's tables must hold up (run under the thread sanitizer as well).
TEST_F(SimRegistryTest, RegistryAndFilesServeSeveralThreadsAtOnce) {
  WriteReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"N\"=dword:00000005\r\n");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const std::wstring path = L"C:\\file" + std::to_wstring(t) + L".txt";
      for (int i = 0; i < 50; ++i) {
        if (Query(L"SOFTWARE\\Test", L"N").data != std::vector<BYTE>{5, 0, 0, 0}) ++failures;
        FILE* file = _wfsopen(path.c_str(), L"ab", _SH_DENYNO);
        if (file == nullptr || std::fputc('x', file) == EOF) ++failures;
        if (file != nullptr) std::fclose(file);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ReadBytes(L"C:\\file0.txt"), std::string(50, 'x'));
}

}  // namespace
}  // namespace tarn::test

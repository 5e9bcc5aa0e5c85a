// The stand-in's recorder of file operations (TARN_SIM_FS_RECORD), which the
// crash-state checker replays.
#include <gtest/gtest.h>

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "file_recording.h"
#include "tarn_fs/file_system.h"
#include "tarn_sim/file_recorder.h"
#include "tarn_sim/machine.h"
#include "test_files.h"
#include "test_machine.h"
#include "unique_handle.h"

namespace tarn::test {
namespace {

// Opens a file for appending as the logs do: a handle, a descriptor over it, a stream over that.
tarn::UniqueStdioFile OpenForAppending(const wchar_t* path, int& descriptor) {
  HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
  return tarn::UniqueStdioFile(_fdopen(descriptor, "a+b"));
}

// The first flush of a new file flushes its folder first (its name), the way
// NTFS makes a new file's name durable with its data.
TEST(SimFileRecorderTest, EveryChangeOfTheDiskIsALineInOrder) {
  TestMachine machine;
  const std::string folder = "drive_c/ProgramData/Logs";
  MakeFolder(L"C:\\ProgramData");
  FileRecording recording;
  tarn::fs::CreateProtectedFolder(L"C:\\ProgramData\\Logs");
  {
    int descriptor = -1;
    auto file = OpenForAppending(L"C:\\ProgramData\\Logs\\a.csv", descriptor);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite("ab\r\n", 1, 4, file.get()), 4u);
    ASSERT_EQ(std::fflush(file.get()), 0);
    ASSERT_EQ(std::fwrite("cd", 1, 2, file.get()), 2u);
    ASSERT_EQ(std::fflush(file.get()), 0);
    ASSERT_EQ(_chsize_s(descriptor, 4), 0);
    ASSERT_EQ(_commit(descriptor), 0);
  }
  ASSERT_TRUE(MoveFileExW(L"C:\\ProgramData\\Logs\\a.csv", L"C:\\ProgramData\\Logs\\b.csv", 0));
  {
    int descriptor = -1;
    auto again = OpenForAppending(L"C:\\ProgramData\\Logs\\b.csv", descriptor);  // exists: no create
    ASSERT_NE(again, nullptr);
  }
  ASSERT_TRUE(DeleteFileW(L"C:\\ProgramData\\Logs\\b.csv"));
  ASSERT_TRUE(tarn::fs::Remove(L"C:\\ProgramData\\Logs"));

  const std::string a = folder + "/a.csv";
  EXPECT_EQ(recording.Lines(), "mkdir\t" + folder + "\ncreate\t" + a + "\nwrite\t0\t61620d0a\t" + a +
                                   "\nwrite\t4\t6364\t" + a + "\nsetsize\t4\t" + a + "\nfsyncdir\t" + folder +
                                   "\nfsync\t" + a + "\nrename\t" + a + "\t" + folder + "/b.csv\ndelete\t" + folder +
                                   "/b.csv\ndelete\t" + folder + "\n");
}

TEST(SimFileRecorderTest, NothingIsRecordedWhileItIsOff) {
  TestMachine machine;
  MakeFolder(L"C:\\ProgramData");
  FileRecording recording;
  tarn::sim::StartFileRecording({});
  EXPECT_FALSE(tarn::sim::record::On());
  tarn::fs::CreateProtectedFolder(L"C:\\ProgramData\\Logs");
  EXPECT_TRUE(tarn::fs::Remove(L"C:\\ProgramData\\Logs"));
  EXPECT_EQ(recording.Lines(), "");
}

// A move to another volume is a copy and a delete, and is recorded as what it
// does to the disk: a new file, its bytes, the source's deletion.
TEST(SimFileRecorderTest, AMoveAcrossVolumesIsACreateAWriteAndADelete) {
  TestMachine machine;
  MakeFolder(L"C:\\ProgramData");
  MakeFolder(L"C:\\ProgramData\\Logs");
  MakeFolder(L"C:\\ProgramData\\Other");
  std::ofstream(*tarn::sim::MachineRoot() / "volumes") << "C:\\ProgramData\\Other\n";
  WriteBytes(L"C:\\ProgramData\\Logs\\a.csv", "ab\r\n");
  FileRecording recording;
  ASSERT_TRUE(MoveFileExW(L"C:\\ProgramData\\Logs\\a.csv", L"C:\\ProgramData\\Other\\a.csv", MOVEFILE_COPY_ALLOWED));
  const std::string from = "drive_c/ProgramData/Logs/a.csv";
  const std::string to = "drive_c/ProgramData/Other/a.csv";
  EXPECT_EQ(recording.Lines(), "create\t" + to + "\nwrite\t0\t61620d0a\t" + to + "\ndelete\t" + from + "\n");
}

}  // namespace
}  // namespace tarn::test

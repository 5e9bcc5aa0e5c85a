// What the logs make durable, and in which order, as the stand-in's recorder
// sees it (tarn_sim/file_recorder.h): the orders a power cut at any moment
// relies on. The crash-state checker (tools/crashcheck) finds these on the real
// service; here each has a test of its own.
#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "file_recording.h"
#include "log_setup.h"
#include "log_test_util.h"

namespace tarn::test {
namespace {

struct RecordedOp {
  std::string kind;
  std::string path;  // a rename's new name
};

// The recorded operations, parsed.
std::vector<RecordedOp> Parse(const std::string& lines) {
  std::vector<RecordedOp> ops;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);)
    ops.push_back({line.substr(0, line.find('\t')), line.substr(line.rfind('\t') + 1)});
  return ops;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The flushes of a file whose name was made (created, or renamed to) after the
// last flush of its folder: after a power cut the rows they flushed may have no name.
std::vector<std::string> FlushesOfUnflushedNames(const std::vector<RecordedOp>& ops) {
  std::vector<std::string> unsafe;
  std::vector<std::string> unflushedNames;
  for (const RecordedOp& op : ops) {
    if (op.kind == "create" || op.kind == "rename") unflushedNames.push_back(op.path);
    if (op.kind == "fsyncdir")
      std::erase_if(unflushedNames, [&](const auto& name) { return FolderOf(name) == op.path; });
    if (op.kind == "fsync" && std::find(unflushedNames.begin(), unflushedNames.end(), op.path) != unflushedNames.end())
      unsafe.push_back(op.path);
  }
  return unsafe;
}

using CrashOrderTest = MachineTest;

// A row flushed into a new current file (the first file, the one after a
// rotation, a new upload file) is on the disk under the file's name: the
// folder's entry is flushed before the row's data.
TEST_F(CrashOrderTest, ARowIsFlushedOnlyUnderANameThatIsOnTheDisk) {
  MakeFolder(kDropFolder);
  std::optional<LogFileManager> localSlot;
  std::optional<UploadLogFileManager> uploadSlot;
  FileRecording recorded;
  LogFileManager& local = StartLocalLog(localSlot, 0, 2);
  UploadLogFileManager& upload = StartUploadLog(uploadSlot, 0, 2);
  for (int row = 0; row < 3; ++row) {
    local.WriteRow(L"local");
    local.RotateIfNeeded();
    upload.WriteRow(L"upload");
    upload.RotateIfNeeded();
  }
  local.Close();
  upload.Close();

  const auto ops = Parse(recorded.Lines());
  ASSERT_GE(std::count_if(ops.begin(), ops.end(), [](const auto& op) { return op.kind == "fsync"; }), 6);
  EXPECT_EQ(FlushesOfUnflushedNames(ops), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarn::test

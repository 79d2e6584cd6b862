// The file operations with their sharing rules: one writer, any readers.
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "platform/files.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::TTempDir;

TEST(WriteStream, StartsEmptyAppendsInOrderAndLetsReadersIn) {
  TTempDir Dir;
  const std::string Path = (Dir.Path() / "RawSent_2026_12_06_141530.raw").string();
  TestSupport::WriteFile(Path, "old content");
  {
    Platform::TWriteStream S(Path);
    EXPECT_EQ(ReadFile(Path), "") << "an existing file is truncated";
    EXPECT_TRUE(S.Write("abc", 3));
    EXPECT_TRUE(S.Write("\x00\xff", 2));
    EXPECT_EQ(ReadFile(Path), std::string("abc\x00\xff", 5)) << "readers see each write at once";
    // A second writer is kept out while the stream is open.
    EXPECT_FALSE(Platform::AppendToFile(Path, "x", 1));
    EXPECT_THROW(Platform::TWriteStream Second(Path), Exception);
  }
  EXPECT_TRUE(Platform::AppendToFile(Path, "x", 1)) << "closed with the stream";
}

TEST(WriteStream, FailuresNameTheFileAndTheReason) {
  TTempDir Dir;
  const std::string Path = (Dir.Path() / "missing" / "RawRecv_x.raw").string();
  try {
    Platform::TWriteStream S(Path);
    FAIL() << "created in a folder that does not exist";
  } catch (const Exception& E) {
    const std::string Expected = "Cannot create file \"" + Path + "\". ";
    EXPECT_EQ(E.Message().substr(0, Expected.size()), Expected);
    EXPECT_GT(E.Message().size(), Expected.size()) << "the system's text follows";
  }
}

TEST(Files, WholeFilesAndFolders) {
  TTempDir Dir;
  const std::string Deep = (Dir.Path() / "a" / "b" / "c").string();
  EXPECT_TRUE(Platform::ForceDirectories(Deep));
  EXPECT_TRUE(Platform::ForceDirectories(Deep)) << "existing is fine";
  const std::string File = (Dir.Path() / "a" / "f").string();
  EXPECT_TRUE(Platform::WriteWholeFile(File, std::string("x\0y", 3)));
  EXPECT_TRUE(Platform::FileExists(File));
  EXPECT_FALSE(Platform::FileExists(Deep)) << "a folder is not a file";
  std::string Bytes;
  EXPECT_TRUE(Platform::ReadWholeFile(File, Bytes));
  EXPECT_EQ(Bytes, std::string("x\0y", 3));
  EXPECT_FALSE(Platform::ForceDirectories(File + "/sub")) << "a file stands in the way";
  EXPECT_FALSE(Platform::ReadWholeFile(File + "-none", Bytes));
}

}  // namespace

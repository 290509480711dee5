#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/FileSizeLimit.h"
#include "common/TestFiles.h"
#include "files/ArchiveCopy.h"
#include "files/OleDate.h"

namespace {

const char kDefaultIdent[] = "VRDT40-000.000-00000";

TEST(ArchiveNames, TargetPathOfTheDefaultIdentification) {
  TArchiveJob job;
  job.ServerFolder = "/arch";
  job.Ident = kDefaultIdent;
  job.Created = OleDateFromLocal(2026, 12, 5, 10, 30);
  job.Name = DefaultArchiveName("/data/0512.rtd");
  EXPECT_EQ(job.Name, "0512");
  EXPECT_EQ(ArchiveTargetPath(job), "/arch/VRDT40-000.000/00000/create_05122026_1030__file_0512.rtd");
}

TEST(ArchiveNames, IdentificationPartsAndUnsafeNames) {
  // 25 characters: the 16th to the 25th form the trailing part.
  EXPECT_EQ(ArchiveLeadingPart("VRDT40-123.456-ABCDEFGHIJ"), "VRDT40-123.456");
  EXPECT_EQ(ArchiveTrailingPart("VRDT40-123.456-ABCDEFGHIJ"), "ABCDEFGHIJ");
  EXPECT_EQ(ArchiveTrailingPart("VRDT40-123.456"), "_");
  const struct {
    std::string in, out;
  } cases[] = {{"", "_"},      {".", "_"},         {"..", "_"},      {"../../etc", ".._.._etc"},
               {"a/b", "a_b"}, {"a\tb\x7f", "a_b_"}, {std::string("a\0b", 3), "a_b"}, {"x..y", "x..y"}};
  for (const auto& c : cases) EXPECT_EQ(SafePathPart(c.in), c.out) << c.in;
  EXPECT_EQ(DefaultArchiveName("/d/run1.RTD"), "run1");
  EXPECT_EQ(DefaultArchiveName("run1.dat"), "run1.dat");
  EXPECT_EQ(ArchiveFileName(OleDateFromLocal(2026, 1, 2, 3, 4), "../x"),
            "create_02012026_0304__file_.._x.rtd");
}

class Archive : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(server_.c_str(), 0777);
    Bytes b = RecordingHeader(10.0f, kDefaultIdent);
    for (int i = 1; i <= 1000; ++i) AddRecord(b, i * 0.1f, 0.001f * i, 25);
    WriteBytes(source_, b);
  }
  void MakeFolders(const std::string& ident) {
    ::mkdir((server_ + "/" + ArchiveLeadingPart(ident)).c_str(), 0777);
    ::mkdir(ArchiveFolder(server_, ident).c_str(), 0777);
  }
  TArchiveJob Job(const std::string& ident = kDefaultIdent) {
    TArchiveJob job;
    job.Source = source_;
    job.ServerFolder = server_;
    job.Ident = ident;
    job.Created = OleDateFromLocal(2026, 12, 5, 10, 30);
    job.Name = "0512";
    return job;
  }
  TTempDir tmp_;
  std::string server_ = tmp_.File("arch"), source_ = tmp_.File("0512.rtd");
};

TEST_F(Archive, CopiesByteForByteWithProgress) {
  MakeFolders(kDefaultIdent);
  std::vector<int> percents;
  const TArchiveResult r = SaveToServer(Job(), [&](int p) { percents.push_back(p); });
  ASSERT_EQ(r.Status, TArchiveStatus::Complied) << r.Path << ": " << r.Reason;
  EXPECT_EQ(r.Target, server_ + "/VRDT40-000.000/00000/create_05122026_1030__file_0512.rtd");
  EXPECT_EQ(ReadBytes(r.Target), ReadBytes(source_));
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
}

TEST_F(Archive, ASourceOfFewerThan100BytesCopies) {
  MakeFolders(kDefaultIdent);
  WriteBytes(source_, Bytes{1, 2, 3});
  const TArchiveResult r = SaveToServer(Job());
  ASSERT_EQ(r.Status, TArchiveStatus::Complied);
  EXPECT_EQ(ReadBytes(r.Target), (Bytes{1, 2, 3}));
}

TEST_F(Archive, HostileIdentificationsStayInsideTheServerFolder) {
  for (const std::string ident : {"../../etc", "a/b", "VRDT40-000.000-../../../x"}) {
    MakeFolders(ident);
    TArchiveJob job = Job(ident);
    job.Name = "../../escape";
    const TArchiveResult r = SaveToServer(job);
    ASSERT_EQ(r.Status, TArchiveStatus::Complied) << ident << ": " << r.Path << " " << r.Reason;
    char* real = ::realpath(r.Target.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    char* realServer = ::realpath(server_.c_str(), nullptr);
    EXPECT_EQ(std::string(real).rfind(std::string(realServer) + "/", 0), 0u) << real;
    std::free(real);
    std::free(realServer);
  }
  EXPECT_NE(::access(tmp_.File("etc").c_str(), F_OK), 0);
}

TEST_F(Archive, FailuresNameTheFolderOrFileAndLeaveNoTarget) {
  TArchiveJob job = Job();
  job.ServerFolder = "";
  EXPECT_EQ(SaveToServer(job).Status, TArchiveStatus::NoServerFolder);

  // Missing sub-folders are not created: the first missing one is named.
  TArchiveResult r = SaveToServer(Job());
  EXPECT_EQ(r.Status, TArchiveStatus::Failed);
  EXPECT_EQ(r.Path, server_ + "/VRDT40-000.000");
  EXPECT_EQ(r.Reason, "No such file or directory");

  MakeFolders(kDefaultIdent);
  job = Job();
  job.Source = tmp_.File("gone.rtd");
  r = SaveToServer(job);
  EXPECT_EQ(r.Path, job.Source);
  EXPECT_NE(::access(r.Target.c_str(), F_OK), 0);

  // A recording loaded from the archive itself is never truncated.
  job = Job();
  const std::string target = ArchiveTargetPath(job);
  WriteBytes(target, ReadBytes(source_));
  job.Source = target;
  r = SaveToServer(job);
  EXPECT_EQ(r.Status, TArchiveStatus::Failed);
  EXPECT_EQ(ReadBytes(target), ReadBytes(source_));
}

TEST_F(Archive, AFullDiskRemovesTheIncompleteTarget) {
  MakeFolders(kDefaultIdent);
  const TArchiveJob job = Job();
  const int code = RunWithFileSizeLimit(4000, [&] {
    const TArchiveResult r = SaveToServer(job);
    if (r.Status != TArchiveStatus::Failed) return 1;
    if (r.Path != r.Target || r.Reason != "File too large") return 2;
    return ::access(r.Target.c_str(), F_OK) == 0 ? 3 : 0;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace

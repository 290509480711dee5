// The markers file beside a recording: its name, its exact text, reading
// back what another editor left in it, and the failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "files/Markers.h"

namespace {

TEST(Markers, NameBesideTheRecording) {
  const std::pair<const char*, const char*> cases[] = {
      {"/lab/run.rtd", "/lab/run.markers.txt"},   {"/lab/RUN.RTD", "/lab/RUN.markers.txt"},
      {"/lab/run", "/lab/run.markers.txt"},       {"/lab.d/run", "/lab.d/run.markers.txt"},
      {"/lab/run.dat", "/lab/run.dat.markers.txt"}};
  for (const auto& [recording, markers] : cases) EXPECT_EQ(MarkersPath(recording), markers) << recording;
}

TEST(Markers, TextInTimeOrderAndBack) {
  const std::vector<TMarker> markers = {{800000.0625, "step to +60\u00B0C"}, {12.5, "door\topened\nagain"}, {0.008, ""}};
  const std::string text = MarkersText(markers);
  EXPECT_EQ(text, "# Ratelog markers\n0.008\t\n12.5\tdoor opened again\n800000.0625\tstep to +60\u00B0C\n");
  int skipped = -1;
  const std::vector<TMarker> back = ParseMarkers(text, &skipped);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(back, (std::vector<TMarker>{{0.008, ""}, {12.5, "door opened again"}, {800000.0625, "step to +60\u00B0C"}}));
  // Edited by hand: CR LF, a comment, lines without a time, a time alone.
  EXPECT_EQ(ParseMarkers("# x\r\n30\tb\r\n\r\n1,5\tcomma\nabc\tno time\n20\n10\ta\tb\n", &skipped),
            (std::vector<TMarker>{{10, "a\tb"}, {20, ""}, {30, "b"}}));
  EXPECT_EQ(skipped, 2);
}

TEST(Markers, SavedLoadedAndFailures) {
  TTempDir dir;
  const std::string recording = dir.File("run.rtd");
  std::vector<TMarker> markers = {{1, "x"}};
  std::string error;
  ASSERT_TRUE(LoadMarkers(recording, markers, error)) << "no file: no markers";
  EXPECT_TRUE(markers.empty());
  ASSERT_TRUE(SaveMarkers(recording, {{2.5, "b"}, {1, "a"}}, error)) << error;
  EXPECT_EQ(ReadText(dir.File("run.markers.txt")), "# Ratelog markers\n1\ta\n2.5\tb\n");
  ASSERT_TRUE(LoadMarkers(recording, markers, error));
  EXPECT_EQ(markers, (std::vector<TMarker>{{1, "a"}, {2.5, "b"}}));
  EXPECT_FALSE(SaveMarkers(dir.File("gone/run.rtd"), markers, error));
  EXPECT_NE(error.find("gone/run.markers.txt"), std::string::npos) << error;
}

}  // namespace

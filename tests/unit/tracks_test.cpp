// The pointer tracks, checked by pixels on the headless canvas.
#include <climits>

#include "tests/support/app_fixture.h"

namespace {

using tk::headless::HeadlessBackend;
constexpr std::uint32_t kBg = HeadlessBackend::kBackground;

class TracksTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    CreateForm();
    Surface().Fill(kBg);  // lose the start circle: each test looks at its own drawing
  }
  void Move(int index, std::int32_t dx, std::int32_t dy) { tracks::move_track(*Form1, index, dx, dy); }
  std::vector<std::uint32_t> Pixels() { return Surface().Pixels(); }
};

TEST_F(TracksTest, MoveDrawsTheTrailInTheTrackColourToTheNewHead) {
  Move(1, 10, 0);  // track 1: (120, 120) -> (130, 120)
  for (int x = 120; x < 130; ++x) EXPECT_EQ(Surface().At(x, 120), tk::clBlue) << x;
  EXPECT_EQ(Form1->Label3->GetText(), "X = 130 , Y = 120");

  // The head marker's box starts 3 rows above the head and covers the trail's end.
  Move(2, 0, 7);  // track 2: (150, 150) -> (150, 157)
  for (int y = 150; y < 154; ++y) EXPECT_EQ(Surface().At(150, y), tk::clGreen) << y;
  EXPECT_EQ(Form1->Label4->GetText(), "X = 150 , Y = 157");

  Move(3, -20, -20);  // track 3: (100, 100) -> (80, 80)
  for (int d = 0; d < 17; ++d) EXPECT_EQ(Surface().At(100 - d, 100 - d), tk::clRed) << d;
  EXPECT_EQ(Form1->Label5->GetText(), "X = 80 , Y = 80");
  EXPECT_EQ(Form1->tracks[2].x, 80);
}

TEST_F(TracksTest, EachTrackHasItsOwnTrailAndMarkerColours) {
  const struct {
    int index;
    tk::TColor trail, marker;
  } kTracks[] = {{1, tk::clBlue, tk::clLime}, {2, tk::clGreen, tk::clLime}, {3, tk::clRed, tk::clFuchsia}};
  for (const auto& t : kTracks) {
    SCOPED_TRACE(t.index);
    Surface().Fill(kBg);
    const int x = Form1->tracks[t.index - 1].x, y = Form1->tracks[t.index - 1].y;
    // Back over the trail just drawn: the head's marker box (x-20..x-15) covers its end.
    Move(t.index, -20, 0);
    EXPECT_EQ(Surface().At(x - 10, y), t.trail);
    EXPECT_EQ(Surface().At(x - 20, y), kBg ^ t.marker);     // outline over the background
    EXPECT_EQ(Surface().At(x - 15, y), t.trail ^ t.marker);  // outline over the trail
  }
}

TEST_F(TracksTest, MarkerDrawnTwiceLeavesTheSurfaceAsItWas) {
  Move(1, 10, 10);
  const auto before = Pixels();
  tracks::draw_marker(*Form1, tk::clFuchsia, 60, 60);
  EXPECT_NE(Pixels(), before);
  // Inside its box only: left edge at x, vertically centred on y.
  EXPECT_EQ(Surface().At(59, 60), kBg);
  EXPECT_EQ(Surface().At(66, 60), kBg);
  EXPECT_EQ(Surface().At(62, 56), kBg);
  EXPECT_EQ(Surface().At(62, 63), kBg);
  EXPECT_EQ(Form1->GetCanvas()->Pen()->Mode(), tk::pmCopy);
  EXPECT_EQ(Form1->GetCanvas()->Pen()->Color(), tk::clFuchsia);
  tracks::draw_marker(*Form1, tk::clFuchsia, 60, 60);
  EXPECT_EQ(Pixels(), before);
}

TEST_F(TracksTest, FirstPacketLeavesAMarkerAtTheStartAndLaterOnesOnlyMoveTheHead) {
  Move(3, 0, 40);  // (100, 100) -> (100, 140): the start marker box is (100, 97)-(106, 103)
  const auto after_first = Pixels();
  EXPECT_NE(Surface().At(105, 100), kBg);  // right of the trail, inside the start marker
  Move(3, 0, 10);
  Move(3, 0, -10);
  EXPECT_EQ(Surface().At(105, 100), after_first[100 * Surface().Width() + 105]);
  // A (0, 0) motion removes and redraws the head marker: no visible change.
  const auto before_still = Pixels();
  Move(3, 0, 0);
  EXPECT_EQ(Pixels(), before_still);
  EXPECT_EQ(Form1->Label5->GetText(), "X = 100 , Y = 140");
}

TEST_F(TracksTest, TrackStopsOnTheLeftEdgeAndRunsAlongIt) {
  Move(1, -120, 0);
  EXPECT_EQ(Form1->tracks[0].x, 0);
  Move(1, -5, 10);
  EXPECT_EQ(Form1->tracks[0].x, 0);
  EXPECT_EQ(Form1->tracks[0].y, 130);
  for (int y = 120; y < 127; ++y) EXPECT_EQ(Surface().At(0, y), tk::clBlue) << y;
  EXPECT_EQ(Surface().At(1, 125), kBg);
}

TEST_F(TracksTest, TheBorderItselfIsAllowed) {
  Backend().SetClientSize(405, 300);
  Move(1, 280, 0);
  EXPECT_EQ(Form1->tracks[0].x, 400);
  Move(1, 10, 0);
  EXPECT_EQ(Form1->tracks[0].x, 405);
  EXPECT_EQ(Form1->Label3->GetText(), "X = 405 , Y = 120");
  Move(1, 0, 1000);
  EXPECT_EQ(Form1->tracks[0].y, 300);
}

TEST_F(TracksTest, AfterTheWindowShrinksTheNextPacketLandsOnTheBorder) {
  Move(2, 300, 150);  // (450, 300)
  Backend().SetClientSize(200, 100);
  Move(2, 1, -250);  // x still outside -> border; y brought back inside
  EXPECT_EQ(Form1->tracks[1].x, 200);
  EXPECT_EQ(Form1->tracks[1].y, 50);
  EXPECT_EQ(Form1->Label4->GetText(), "X = 200 , Y = 50");
}

TEST_F(TracksTest, IndicesWithoutATrackChangeNothing) {
  const auto before = Pixels();
  for (int index : {0, -1, 4, 10, INT32_MIN, INT32_MAX}) Move(index, 5, 5);
  EXPECT_EQ(Pixels(), before);
  EXPECT_EQ(Form1->Label3->GetText(), "Label3");
  EXPECT_EQ(Form1->Label4->GetText(), "Label4");
  EXPECT_EQ(Form1->Label5->GetText(), "Label5");
  EXPECT_EQ(Form1->tracks[0].x, 120);
}

TEST_F(TracksTest, ExtremeMotionsLandOnTheBorderWithoutWrapping) {
  const int w = Form1->GetClientWidth();
  const int h = Form1->GetClientHeight();
  Move(1, INT32_MAX, INT32_MAX);
  EXPECT_EQ(Form1->tracks[0].x, w);
  EXPECT_EQ(Form1->tracks[0].y, h);
  Move(1, INT32_MAX, INT32_MAX);
  EXPECT_EQ(Form1->tracks[0].x, w);
  Move(1, INT32_MIN, INT32_MIN);
  EXPECT_EQ(Form1->tracks[0].x, 0);
  EXPECT_EQ(Form1->tracks[0].y, 0);
  const tracks::Point p = tracks::clamp_to_client(INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN);
  EXPECT_EQ(p.x, w);
  EXPECT_EQ(p.y, 0);
}

}  // namespace

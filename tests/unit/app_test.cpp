// The main window: start-up order, message routing, the pointer label, close,
// the Copy button and the program entry's exception rules.
#include <stdexcept>

#include "tests/support/app_fixture.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

tk::TMessage Msg(unsigned n, std::uintptr_t w, std::intptr_t l) { return tk::TMessage{n, w, l, 0}; }
std::intptr_t Point(int x, int y) { return static_cast<std::intptr_t>((static_cast<std::uint16_t>(y) << 16) | static_cast<std::uint16_t>(x)); }

TEST_F(AppTest, CreateBuildsEveryControlAndStartsInOrder) {
  ScriptExampleDevices();
  CaptureStdout();
  CreateForm();
  EXPECT_EQ(GetCapturedStdout(), "");

  ASSERT_NE(Form1, nullptr);
  EXPECT_STREQ(Form1->Caption(), "Velmora");
  EXPECT_EQ(Form1->Label1->GetText(), "Label1");
  EXPECT_EQ(Form1->Label6->GetText(), "Label6");
  EXPECT_EQ(Form1->btnCopy->GetText(), "Copy");
  EXPECT_FALSE(Form1->btnCopy->Enabled());
  EXPECT_FALSE(Form1->Edit1->Enabled());
  EXPECT_FALSE(Form1->Memo1->Enabled());
  EXPECT_TRUE(Form1->Memo1->Visible());

  // The log is open, the tracks stand at their starts, raw input is registered.
  EXPECT_TRUE(packetlog::log_stream.is_open());
  EXPECT_TRUE(std::filesystem::exists("log.txt"));
  EXPECT_EQ(Form1->tracks[0].x, 120);
  EXPECT_EQ(Form1->tracks[1].y, 150);
  EXPECT_EQ(Form1->tracks[2].x, 100);
  EXPECT_EQ(fake::service().registered.size(), 1u);
  EXPECT_EQ(Form1->Memo1->Lines().size(), 5u);
  EXPECT_FALSE(Backend().WindowShown());
}

TEST_F(AppTest, StartCircleUsesTheUntouchedPenInItsBox) {
  CreateForm();
  const tk::headless::Raster& s = Surface();
  int black = 0;
  for (int y = 115; y < 130; ++y) {
    for (int x = 115; x < 130; ++x) {
      const bool inside = x >= 120 && x < 125 && y >= 120 && y < 125;
      if (!inside) {
        EXPECT_EQ(s.At(x, y), tk::headless::HeadlessBackend::kBackground) << x << "," << y;
      }
      if (inside && s.At(x, y) == tk::clBlack) ++black;
    }
  }
  EXPECT_GT(black, 0);
  const tk::TPen* pen = Form1->GetCanvas()->Pen();
  EXPECT_EQ(pen->Mode(), tk::pmCopy);
  EXPECT_EQ(pen->Color(), tk::clBlack);
}

TEST_F(AppTest, FailedRawInputIsReportedAndTheWindowGoesOn) {
  fake::service().load_fails = true;
  CaptureStdout();
  CreateForm();
  EXPECT_EQ(GetCapturedStdout(), "raw_input_init() failed\n");
  EXPECT_TRUE(Form1->Memo1->Lines().empty());

  tk::TMessage move = Msg(tk::WM_MOUSEMOVE, 0, Point(7, 9));
  Form1->Dispatch(move);
  EXPECT_EQ(Form1->Label2->GetText(), "X = 7 , 9");
}

TEST_F(AppTest, MessageInputGoesToRawInputAndNowhereElse) {
  ScriptExampleDevices();
  CreateForm();
  tk::TMessage raw = Msg(tk::WM_INPUT, 1, 0x4242);
  CaptureStdout();
  Form1->Dispatch(raw);
  GetCapturedStdout();
  EXPECT_EQ(fake::service().size_queries, 1);
  EXPECT_TRUE(Backend().DefaultHandled().empty());
  EXPECT_EQ(raw.Result, 0);
}

TEST_F(AppTest, OtherMessagesReachTheInheritedDispatchUnchanged) {
  CreateForm();
  const tk::TMessage sent[] = {Msg(0x0400, 0xDEADBEEF, -7), Msg(254, 1, 2), Msg(256, 0, 0x7FFFFFFF),
                               Msg(tk::WM_MOUSEMOVE, 1, Point(3, 4))};
  for (tk::TMessage m : sent) Form1->Dispatch(m);
  const auto& got = Backend().DefaultHandled();
  ASSERT_EQ(got.size(), 4u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].Msg, sent[i].Msg);
    EXPECT_EQ(got[i].WParam, sent[i].WParam);
    EXPECT_EQ(got[i].LParam, sent[i].LParam);
  }
  EXPECT_EQ(fake::service().size_queries, 0);
}

TEST_F(AppTest, PointerLabelShowsClientPositionAndLeavesAnXorPen) {
  CreateForm();
  const struct {
    int x, y;
    const char* text;
  } cases[] = {{10, 20, "X = 10 , 20"}, {0, 0, "X = 0 , 0"}, {-3, 400, "X = -3 , 400"}};
  for (const auto& c : cases) {
    tk::TMessage m = Msg(tk::WM_MOUSEMOVE, 0, Point(c.x, c.y));
    Form1->Dispatch(m);
    EXPECT_EQ(Form1->Label2->GetText(), c.text);
  }
  const tk::TPen* pen = Form1->GetCanvas()->Pen();
  EXPECT_EQ(pen->Mode(), tk::pmXor);
  EXPECT_EQ(pen->Color(), tk::clWhite);
  EXPECT_EQ(pen->Width(), 1);
}

// The window's close and the end of the session take the same path.
class CloseTest : public AppTest, public ::testing::WithParamInterface<tk::TMessage> {};

TEST_P(CloseTest, ClosesTheLogAndRaisesTheCursorOnce) {
  ScriptExampleDevices();
  CreateForm();
  SendMouse(103, 1, 1);
  tk::TMessage close = GetParam();
  Form1->Dispatch(close);
  EXPECT_FALSE(packetlog::log_stream.is_open());
  EXPECT_EQ(Backend().ShowCursorCalls(), 1);
  EXPECT_EQ(Backend().CursorCounter(), 1);
  EXPECT_TRUE(Form1->Closed());
  // Everything written before close is on disk.
  EXPECT_EQ(ReadFile("log.txt").rfind("Mouse: num 1, ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(WindowAndSession, CloseTest,
                         ::testing::Values(tk::TMessage{tk::WM_CLOSE, 0, 0, 0}, tk::TMessage{tk::WM_ENDSESSION, 1, 0, 0}));

TEST_F(AppTest, SessionThatGoesOnLeavesTheWindowOpen) {
  CreateForm();
  tk::TMessage cancelled = Msg(tk::WM_ENDSESSION, 0, 0);
  Form1->Dispatch(cancelled);
  EXPECT_FALSE(Form1->Closed());
  EXPECT_TRUE(packetlog::log_stream.is_open());
}

TEST_F(AppTest, CopyButtonHidesTheMemoOnlyWhenClicked) {
  CreateForm();
  Form1->btnCopy->Click();  // created disabled: nothing happens
  EXPECT_TRUE(Form1->Memo1->Visible());
  Form1->btnCopyClick(Form1);
  EXPECT_FALSE(Form1->Memo1->Visible());
  EXPECT_FALSE(Form1->btnCopy->Enabled());
}

TEST_F(AppTest, ProgramEntryRunsTheLoopAndReturnsZero) {
  ScriptExampleDevices();
  fake::service().packets[9] = fake::mouse_packet(fake::handle(103), rawinput::RAWMOUSE{});
  tk::Application->Reset();
  // The entry initialises the application itself; the headless loop delivers
  // what was posted, then closes the window.
  tk::Application->Initialize();
  auto& backend = dynamic_cast<tk::headless::HeadlessBackend&>(tk::Application->Platform());
  backend.Post(Msg(tk::WM_INPUT, 0, 9));
  EXPECT_EQ(velmora_main(), 0);
  EXPECT_TRUE(backend.WindowShown());
  EXPECT_TRUE(Form1->Closed());
  EXPECT_FALSE(packetlog::log_stream.is_open());
  EXPECT_EQ(ReadFile("log.txt").rfind("Mouse: num 1, ", 0), 0u);
}

TEST_F(AppTest, ToolkitExceptionsAreShownWithTheirMessage) {
  auto& backend = dynamic_cast<tk::headless::HeadlessBackend&>(tk::Application->Platform());
  backend.OnRun = [] { throw tk::Exception("window lost"); };
  EXPECT_EQ(velmora_main(), 0);
  ASSERT_EQ(backend.ShownExceptions().size(), 1u);
  EXPECT_EQ(backend.ShownExceptions()[0], "window lost");
}

TEST_F(AppTest, ForeignExceptionsAreShownWithAnEmptyMessage) {
  auto& backend = dynamic_cast<tk::headless::HeadlessBackend&>(tk::Application->Platform());
  backend.OnRun = [] { throw std::runtime_error("not the toolkit's"); };
  EXPECT_EQ(velmora_main(), 0);
  ASSERT_EQ(backend.ShownExceptions().size(), 1u);
  EXPECT_EQ(backend.ShownExceptions()[0], "");

  backend.OnRun = [] { throw 42; };
  EXPECT_EQ(velmora_main(), 0);
  EXPECT_EQ(backend.ShownExceptions().size(), 2u);
}

TEST(TitleTest, SaysWhatTheRunDoes) {
  EXPECT_EQ(TForm1::TitleFor("Velmora", false, ""), "Velmora");
  EXPECT_EQ(TForm1::TitleFor("Velmora", true, ""), "Velmora (background)");
  EXPECT_EQ(TForm1::TitleFor("Velmora", false, "another copy is logging here"),
            "Velmora (not logging: another copy is logging here)");
  EXPECT_EQ(TForm1::TitleFor("Velmora", true, "this folder is read-only"),
            "Velmora (background; not logging: this folder is read-only)");
}

}  // namespace

// The headless backend under the portable toolkit: window and controls, the
// canvas, inherited dispatch and the message loop; and the memo's text layout
// that the backends drawing their own panel share.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/headless/headless.h"
#include "toolkit/text_layout.h"

namespace {

using tk::headless::HeadlessBackend;

constexpr unsigned kProbeMessage = 0x0401;  // taken by the form itself

class ProbeForm : public tk::TForm {
 public:
  static const tk::FormDesc& Description() {
    using tk::ControlKind;
    static const tk::FormDesc desc{
        "Probe",
        10, 20, 300, 200,
        tk::clBtnFace,
        {"MS Sans Serif", -11},
        {
            {ControlKind::Label, "Status", 8, 8, 40, 13, "idle", tk::clWindowText, true, -1, false},
            {ControlKind::Button, "Go", 8, 30, 75, 25, "Go", tk::clWindowText, true, 0, false},
            {ControlKind::Memo, "Log", 8, 60, 200, 100, "", tk::clWindowText, false, 1, false},
        },
    };
    return desc;
  }

  void Dispatch(tk::TMessage& message) override {
    seen.push_back(message);
    if (message.Msg == kProbeMessage) {
      if (message.WParam == 1) Of().Post({kProbeMessage, 2, 0, 0});
      return;
    }
    TForm::Dispatch(message);
  }

  HeadlessBackend& Of() { return tk::headless::Of(*this); }

  std::vector<tk::TMessage> seen;
};

class HeadlessToolkit : public testing::Test {
 protected:
  void SetUp() override {
    app.Initialize();
    app.CreateForm(form);
    backend = &form->Of();
  }

  std::vector<unsigned> Seen() const {
    std::vector<unsigned> out;
    for (const auto& m : form->seen) out.push_back(m.Msg);
    return out;
  }

  tk::TApplication app;
  ProbeForm* form = nullptr;
  HeadlessBackend* backend = nullptr;
};

// ---- Window and controls --------------------------------------------------------

TEST_F(HeadlessToolkit, WindowAndControlsAreBuiltFromTheDescription) {
  EXPECT_NE(form->peer, nullptr);
  ASSERT_EQ(form->Controls().size(), 3u);
  for (const auto& c : form->Controls()) EXPECT_NE(c->peer, nullptr) << c->Name();
  // The client area is the window less the classic frame and caption.
  EXPECT_EQ(form->GetClientWidth(), 300 - 8);
  EXPECT_EQ(form->GetClientHeight(), 200 - 27);
  EXPECT_EQ(backend->Surface().At(0, 0), HeadlessBackend::kBackground);
  EXPECT_FALSE(backend->WindowShown());
  EXPECT_EQ(&app.Platform(), backend);
}

TEST(HeadlessWindow, DestroyWindowLetsGoOfThePeers) {
  HeadlessBackend backend;
  ProbeForm form;
  form.Load(backend, ProbeForm::Description());
  ASSERT_NE(form.peer, nullptr);
  backend.DestroyWindow(form);
  EXPECT_EQ(form.peer, nullptr);
  for (const auto& c : form.Controls()) EXPECT_EQ(c->peer, nullptr) << c->Name();
}

TEST(HeadlessWindow, EscPressesTheFormsOneCancelButtonWhileItCanBePressed) {
  using tk::ControlKind;
  const tk::FormDesc desc{"Esc", 0, 0, 200, 100, tk::clBtnFace, {"", -11}, {
      {ControlKind::Button, "Ok", 0, 0, 10, 10, "Ok", tk::clWindowText, true, 0, false},
      {ControlKind::Button, "Cancel", 0, 20, 10, 10, "Cancel", tk::clWindowText, true, 1, true},
      {ControlKind::Button, "Close", 0, 40, 10, 10, "Close", tk::clWindowText, true, 2, true},
  }};
  HeadlessBackend backend;
  tk::TForm form;
  form.Load(backend, desc);
  std::string clicked;
  for (const char* name : {"Ok", "Cancel", "Close"}) {
    form.Find<tk::TButton>(name)->OnClick = [&clicked, name](tk::TObject*) { clicked += name; };
  }
  EXPECT_TRUE(form.PressCancel());
  EXPECT_EQ(clicked, "Cancel");  // the first marked, and only it
  form.Find<tk::TButton>("Cancel")->SetEnabled(false);
  EXPECT_FALSE(form.PressCancel());
  form.Find<tk::TButton>("Cancel")->SetEnabled(true);
  form.Find<tk::TButton>("Cancel")->Hide();
  EXPECT_FALSE(form.PressCancel());
  EXPECT_EQ(clicked, "Cancel");  // no other button stands in for it
}

TEST_F(HeadlessToolkit, ResizingChangesTheClientSizeAndLosesTheDrawing) {
  tk::TCanvas* canvas = form->GetCanvas();
  canvas->MoveTo(0, 0);
  canvas->LineTo(50, 50);
  ASSERT_NE(backend->Surface().At(10, 10), HeadlessBackend::kBackground);

  backend->SetClientSize(405, 120);
  EXPECT_EQ(form->GetClientWidth(), 405);
  EXPECT_EQ(form->GetClientHeight(), 120);
  EXPECT_EQ(backend->Surface().Pixels(),
            std::vector<std::uint32_t>(405 * 120, HeadlessBackend::kBackground));

  backend->SetClientSize(-3, 0);
  EXPECT_EQ(form->GetClientWidth(), 0);
  canvas->LineTo(10, 10);  // nothing to draw on, nothing to break
}

TEST_F(HeadlessToolkit, MemoKeepsOnlyTheNewestLines) {
  auto* memo = form->Find<tk::TMemo>("Log");
  ASSERT_NE(memo, nullptr);
  const std::size_t total = tk::TMemo::kMaxLines + 25;
  for (std::size_t i = 0; i < total; ++i) memo->Append("line " + std::to_string(i));
  ASSERT_EQ(memo->Lines().size(), tk::TMemo::kMaxLines);
  EXPECT_EQ(memo->Lines().front(), "line 25");
  EXPECT_EQ(memo->Lines().back(), "line " + std::to_string(total - 1));
}

// ---- Canvas ---------------------------------------------------------------------

TEST_F(HeadlessToolkit, CanvasDrawsWithThePenAsItIsAtTheCall) {
  tk::TCanvas* canvas = form->GetCanvas();
  tk::TPen* pen = canvas->Pen();
  const tk::headless::Raster& s = backend->Surface();
  constexpr std::uint32_t bg = HeadlessBackend::kBackground;

  pen->SetColor(tk::clBlue);
  canvas->MoveTo(10, 5);
  canvas->LineTo(20, 5);
  EXPECT_EQ(s.At(10, 5), tk::clBlue);
  EXPECT_EQ(s.At(19, 5), tk::clBlue);
  EXPECT_EQ(s.At(20, 5), bg);
  EXPECT_EQ(canvas->PenX(), 20);

  pen->SetMode(tk::pmXor);
  pen->SetColor(tk::clLime);
  canvas->LineTo(20, 15);
  EXPECT_EQ(s.At(20, 5), bg ^ tk::clLime);
  EXPECT_EQ(s.At(20, 15), bg);

  // The brush is white in the pen's mode; the outline takes the pen colour.
  canvas->Ellipse(40, 40, 46, 46);
  EXPECT_EQ(s.At(42, 42), bg ^ tk::kDefaultBrush);
  EXPECT_EQ(s.At(40, 42), bg ^ tk::clLime);
  canvas->Ellipse(40, 40, 46, 46);
  EXPECT_EQ(s.At(42, 42), bg);

  // System colours resolve to the classic scheme.
  pen->SetMode(tk::pmCopy);
  pen->SetColor(tk::clWindowText);
  canvas->MoveTo(0, 30);
  canvas->LineTo(3, 30);
  EXPECT_EQ(s.At(1, 30), tk::clBlack);
  pen->SetColor(tk::clBtnFace);
  canvas->LineTo(3, 40);
  EXPECT_EQ(s.At(3, 35), bg);
}

TEST_F(HeadlessToolkit, DrawCallsAreRecordedOnlyWhileAsked) {
  tk::TCanvas* canvas = form->GetCanvas();
  canvas->MoveTo(1, 2);
  canvas->LineTo(3, 4);
  EXPECT_TRUE(backend->DrawCalls().empty());

  backend->record_draw_calls = true;
  canvas->Pen()->SetMode(tk::pmXor);
  canvas->Pen()->SetColor(tk::clFuchsia);
  canvas->LineTo(5, 6);
  canvas->Pen()->SetWidth(3);
  canvas->Ellipse(7, 8, 13, 14);
  EXPECT_EQ(backend->DrawCalls(), (std::vector<std::string>{
                                      "Line 3 4 5 6 mode=14 color=ff00ff width=1",
                                      "Ellipse 7 8 13 14 mode=14 color=ff00ff width=3",
                                  }));
}

// ---- Dispatch and the message loop ----------------------------------------------

TEST_F(HeadlessToolkit, UnknownMessagesReachTheDefaultHandlingUnchanged) {
  tk::TMessage m{0x1234, 7, -3, 0};
  form->Dispatch(m);
  tk::TMessage input{tk::WM_INPUT, 0, 0x5A5A, 0};
  form->Dispatch(input);
  ASSERT_EQ(backend->DefaultHandled().size(), 2u);
  EXPECT_EQ(backend->DefaultHandled()[0].Msg, 0x1234u);
  EXPECT_EQ(backend->DefaultHandled()[0].WParam, 7u);
  EXPECT_EQ(backend->DefaultHandled()[0].LParam, -3);
  EXPECT_EQ(backend->DefaultHandled()[1].Msg, tk::WM_INPUT);
  EXPECT_EQ(backend->DefaultHandled()[1].LParam, 0x5A5A);

  // A message the form takes itself goes no further.
  tk::TMessage own{kProbeMessage, 0, 0, 0};
  form->Dispatch(own);
  EXPECT_EQ(backend->DefaultHandled().size(), 2u);
}

TEST_F(HeadlessToolkit, RunShowsTheWindowDeliversTheQueueInOrderRunsTheIdleHookThenCloses) {
  int closes = 0;
  form->OnClose = [&](tk::TObject*, int&) { ++closes; };
  // The loop runs the program's one idle hook: after the last message, before the close.
  std::vector<std::pair<std::size_t, int>> idle_at;  // messages seen, closes
  tk::Application->OnIdle = [&] { idle_at.emplace_back(form->seen.size(), closes); };
  backend->Post({0x0500, 0, 0, 0});
  backend->Post({kProbeMessage, 1, 0, 0});  // posts a follow-up while being handled
  backend->Post({0x0501, 0, 0, 0});
  app.Run();
  tk::Application->OnIdle = nullptr;
  EXPECT_TRUE(backend->WindowShown());
  EXPECT_EQ(Seen(), (std::vector<unsigned>{0x0500, kProbeMessage, 0x0501, kProbeMessage}));
  EXPECT_EQ(form->seen[3].WParam, 2u);
  EXPECT_TRUE(form->Closed());
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(idle_at, (std::vector<std::pair<std::size_t, int>>{{4, 0}}));
}

TEST_F(HeadlessToolkit, RunStopsDeliveringOnceTheFormCloses) {
  backend->Post({0x0500, 0, 0, 0});
  backend->Post({tk::WM_CLOSE, 0, 0, 0});
  backend->Post({0x0501, 0, 0, 0});
  app.Run();
  EXPECT_EQ(Seen(), (std::vector<unsigned>{0x0500, tk::WM_CLOSE}));
  EXPECT_TRUE(form->Closed());
}

TEST_F(HeadlessToolkit, RunReturnsEvenWhenTheCloseHandlerRefuses) {
  form->OnClose = [](tk::TObject*, int& action) { action = 0; };
  app.Run();
  EXPECT_TRUE(backend->WindowShown());
  EXPECT_FALSE(form->Closed());
}

TEST_F(HeadlessToolkit, AnExceptionFromTheLoopPropagatesBeforeAnyDelivery) {
  backend->OnRun = [] { throw tk::Exception("loop failed"); };
  backend->Post({0x0500, 0, 0, 0});
  try {
    app.Run();
    FAIL() << "Run returned";
  } catch (const tk::Exception& e) {
    EXPECT_EQ(e.Message(), "loop failed");
  }
  EXPECT_TRUE(form->seen.empty());
  EXPECT_FALSE(form->Closed());
}

// ---- Application-wide calls -----------------------------------------------------

TEST_F(HeadlessToolkit, ExceptionsShownAreKeptInOrder) {
  app.ShowException(tk::Exception("first"));
  app.ShowException(tk::Exception("second"));
  EXPECT_EQ(backend->ShownExceptions(), (std::vector<std::string>{"first", "second"}));
}

TEST(HeadlessCursor, ShowCursorMovesTheDisplayCounter) {
  tk::Application->Initialize();
  auto& backend = dynamic_cast<HeadlessBackend&>(tk::Application->Platform());
  const int counter = backend.CursorCounter(), calls = backend.ShowCursorCalls();
  tk::ShowCursor(false);
  tk::ShowCursor(false);
  tk::ShowCursor(true);
  EXPECT_EQ(backend.CursorCounter(), counter - 1);
  EXPECT_EQ(backend.ShowCursorCalls(), calls + 3);
}

// ---- The memo's text layout (backends that draw the panel themselves) -----------

using Rows = std::vector<std::string_view>;

// Every character 1 pixel wide, W 4.
tk::Advances NarrowAdvances() {
  tk::Advances a;
  a.fill(1);
  a['W'] = 4;
  return a;
}

TEST(TextLayout, LinesWrapAtSpacesLikeAWordWrappingEditBox) {
  const struct {
    const char* line;
    int limit;
    Rows rows;
  } cases[] = {
      {"ab cd", 5, {"ab cd"}},
      {"ab cd ef", 5, {"ab cd", "ef"}},                     // after the last space that fits
      {"abcde fg", 5, {"abcde", "fg"}},                     // a word ending on the limit
      {"ab   cd", 3, {"ab", "cd"}},                         // spaces at a break belong to no row
      {"ab  ", 2, {"ab"}},                                  // nor trailing ones past the limit
      {"abcdefgh ij", 3, {"abc", "def", "gh", "ij"}},       // a word too long alone breaks anywhere
      {"ab", 0, {"a", "b"}},                                // at least one character a row
      {"W W", 5, {"W", "W"}},                               // by width, not by count
      {"", 5, {""}},                                        // an empty line still takes a row
  };
  const tk::Advances advances = NarrowAdvances();
  for (const auto& c : cases) {
    EXPECT_EQ(tk::WrapLine(c.line, advances, c.limit), c.rows) << "'" << c.line << "' at " << c.limit;
  }
}

TEST(TextLayout, ALineShowsWithoutTheOneLineEndItCarries) {
  const struct {
    const char* line;
    std::string_view text;
  } cases[] = {
      {"rec\r\n", "rec"}, {"rec\n", "rec"}, {"rec\r", "rec"}, {"rec", "rec"},
      {"rec\r\n\r\n", "rec\r\n"},  // only one: a blank line stays a line
      {"\r\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(tk::LineText(c.line), c.text) << c.line;
}

TEST(TextLayout, PanelShowsTheNewestWholeRowsInsideAnEditBoxsMargins) {
  const tk::Advances advances = NarrowAdvances();
  const std::deque<std::string> lines = {"old line", "one\r\n", "aaa bbb ccc\r\n"};
  // Text 3 wide in a panel 5 wide: a pixel each side, no font margin for
  // characters 1 pixel wide. Rows 10 high.
  const struct {
    int height;
    Rows rows;
    int top;
  } cases[] = {
      {100, {"old", "lin", "e", "one", "aaa", "bbb", "ccc"}, 1},  // all fit: from the top, a pixel down
      {42, {"one", "aaa", "bbb", "ccc"}, 1},                      // the newest record's tail at the bottom
      {41, {"aaa", "bbb", "ccc"}, 1},                             // a row that would be cut is left out
      {11, {"ccc"}, 0},                                           // no room for the top pixel
      {5, {"ccc"}, 0},                                            // one row, even cut, as an edit box
      {0, {}, 0},
  };
  for (const auto& c : cases) {
    const tk::PanelRows shown = tk::LayOutPanel(lines, advances, 5, c.height, 10);
    EXPECT_EQ(shown.rows, c.rows) << "height " << c.height;
    EXPECT_EQ(shown.top, c.top) << "height " << c.height;
    if (!c.rows.empty()) {
      EXPECT_EQ(shown.left, 1) << "height " << c.height;
    }
  }
  // A font's margin is half its average character, beyond the pixel.
  tk::Advances wide;
  wide.fill(7);
  const tk::TextBox box = tk::PanelTextBox(wide, 100, 50, 10);
  EXPECT_EQ(box.left, 1 + 7 / 2);
  EXPECT_EQ(box.width, 100 - 2 * box.left);
  EXPECT_EQ(box.height, 40);
}

}  // namespace

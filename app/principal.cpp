#include "app/principal.h"

#include <cstdio>
#include <string>

#include "log/packet_log.h"
#include "rawinput/rawinput.h"

TForm1* Form1 = nullptr;
RunOptions run_options;

TForm1::TForm1() {
  OnCreate = [this](tk::TObject* s) { FormCreate(s); };
  OnActivate = [this](tk::TObject* s) { FormActivate(s); };
  OnClose = [this](tk::TObject* s, int& action) { FormClose(s, action); };
  OnMouseMove = [this](tk::TObject* s, tk::TShiftState shift, int x, int y) { FormMouseMove(s, shift, x, y); };
}

void TForm1::Loaded() {
  Label1 = Find<tk::TLabel>("Label1");
  btnCopy = Find<tk::TButton>("btnCopy");
  Label2 = Find<tk::TLabel>("Label2");
  Label3 = Find<tk::TLabel>("Label3");
  Label4 = Find<tk::TLabel>("Label4");
  Label5 = Find<tk::TLabel>("Label5");
  Label6 = Find<tk::TLabel>("Label6");
  Edit1 = Find<tk::TEdit>("Edit1");
  Memo1 = Find<tk::TMemo>("Memo1");
  btnCopy->OnClick = [this](tk::TObject* s) { btnCopyClick(s); };
}

// "Velmora", with what the user must know of this run in brackets.
std::string TForm1::TitleFor(const std::string& base, bool background, const std::string& refusal) {
  std::string notes;
  if (background) notes = "background";
  if (!refusal.empty()) notes += (notes.empty() ? "" : "; ") + std::string("not logging: ") + refusal;
  return notes.empty() ? base : base + " (" + notes + ")";
}

void TForm1::FormCreate(tk::TObject*) {
  packetlog::log_open();
  // A copy started from the desktop shows no stderr: its title tells what it does.
  SetCaption(TitleFor(Desc().caption, run_options.background, packetlog::log_refusal()));
  tracks::set_start_positions(*this);
  const tracks::MouseTrack& first = tracks[0];
  GetCanvas()->Ellipse(first.x, first.y, first.x + 5, first.y + 5);
  if (rawinput::raw_input_init(*this) == 0) {
    std::printf("raw_input_init() failed\n");
    std::fflush(stdout);
  }
}

void TForm1::FormActivate(tk::TObject*) {}

void TForm1::FormClose(tk::TObject*, int&) {
  packetlog::log_close();
  tk::ShowCursor(true);
}

void TForm1::FormMouseMove(tk::TObject*, tk::TShiftState, int x, int y) {
  Label2->SetText("X = " + std::to_string(x) + " , " + std::to_string(y));
  tk::TPen* pen = GetCanvas()->Pen();
  pen->SetMode(tk::pmXor);
  pen->SetColor(tk::clWhite);
  pen->SetWidth(1);
}

void TForm1::btnCopyClick(tk::TObject*) {
  Memo1->Hide();
  btnCopy->SetEnabled(false);
}

void TForm1::Dispatch(tk::TMessage& message) {
  if (message.Msg == tk::WM_INPUT) {
    OnRawInput(message);
    return;
  }
  tk::TForm::Dispatch(message);
}

void TForm1::OnRawInput(tk::TMessage& message) {
  rawinput::process_raw_input(*this, reinterpret_cast<rawinput::HRAWINPUT>(message.LParam));
}

int velmora_main(const RunOptions& options) {
  run_options = options;
  try {
    try {
      tk::Application->Initialize();
      tk::Application->CreateForm(Form1);
      // An idle program, or one ended abruptly, still has every record on disk.
      tk::Application->OnIdle = packetlog::log_flush;
      tk::Application->Run();
    } catch (const tk::Exception&) {
      throw;
    } catch (...) {
      throw tk::Exception("");
    }
  } catch (const tk::Exception& e) {
    tk::Application->ShowException(e);
  }
  return 0;
}

// The main window unit: TForm1, its event handlers and the program entry.
#pragma once

#include "app/run_options.h"
#include "toolkit/toolkit.h"
#include "tracks/tracks.h"

class TForm1 : public tk::TForm {
 public:
  TForm1();
  static const tk::FormDesc& Description();

  tk::TLabel* Label1 = nullptr;
  tk::TButton* btnCopy = nullptr;
  tk::TLabel* Label2 = nullptr;
  tk::TLabel* Label3 = nullptr;
  tk::TLabel* Label4 = nullptr;
  tk::TLabel* Label5 = nullptr;
  tk::TLabel* Label6 = nullptr;
  tk::TEdit* Edit1 = nullptr;
  tk::TMemo* Memo1 = nullptr;
  tracks::MouseTrack tracks[tracks::kTrackCount] = {};

  void FormCreate(tk::TObject* sender);
  void FormActivate(tk::TObject* sender);
  void FormClose(tk::TObject* sender, int& action);
  void FormMouseMove(tk::TObject* sender, tk::TShiftState shift, int x, int y);
  void btnCopyClick(tk::TObject* sender);

  // The window's title: base, and in brackets background capture and why no
  // log is kept, when either applies.
  static std::string TitleFor(const std::string& base, bool background, const std::string& refusal);

  void Dispatch(tk::TMessage& message) override;
  void OnRawInput(tk::TMessage& message);

 protected:
  void Loaded() override;
};

extern TForm1* Form1;
// What the command line asked of this run; set before the window is built.
extern RunOptions run_options;

// The program entry: builds the window, runs the message loop, returns 0.
int velmora_main(const RunOptions& options = RunOptions());

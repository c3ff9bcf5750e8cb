// The main window's layout, as the form designer left it.
#include "app/principal.h"

const tk::FormDesc& TForm1::Description() {
  using tk::ControlKind;
  static const tk::FormDesc desc{
      "Velmora",
      192, 114, 696, 376,
      tk::clBtnFace,
      {"MS Sans Serif", -11},
      {
          // kind, name, left, top, width, height, caption, font colour, enabled, tab order, cancel
          {ControlKind::Label, "Label1", 104, 328, 32, 13, "Label1", tk::clWindowText, true, -1, false},
          {ControlKind::Label, "Label2", 40, 248, 32, 13, "Label2", tk::clFuchsia, true, -1, false},
          {ControlKind::Label, "Label3", 40, 264, 32, 13, "Label3", tk::clBlue, true, -1, false},
          {ControlKind::Label, "Label4", 40, 280, 32, 13, "Label4", tk::clGreen, true, -1, false},
          {ControlKind::Label, "Label5", 40, 296, 32, 13, "Label5", tk::clRed, true, -1, false},
          {ControlKind::Label, "Label6", 416, 304, 32, 13, "Label6", tk::clWindowText, true, -1, false},
          {ControlKind::Button, "btnCopy", 272, 296, 75, 25, "Copy", tk::clWindowText, false, 0, true},
          {ControlKind::Edit, "Edit1", 464, 88, 121, 21, "", tk::clWindowText, false, 1, false},
          {ControlKind::Memo, "Memo1", 8, 8, 377, 105, "", tk::clWindowText, false, 2, false},
      },
  };
  return desc;
}

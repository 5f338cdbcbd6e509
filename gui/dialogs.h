// Message boxes: the simple message box and the message dialog with custom buttons.
// Both are modal; the message loop keeps running while they are open, so timers,
// sockets and posted messages go on.
#pragma once

#include <string>
#include <vector>

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Results of a modal dialog.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;
constexpr int mrRetry = 4;
constexpr int mrIgnore = 5;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

struct TMsgDlgButton {
  std::string Caption;  // may hold a mnemonic: "重试[&R]"
  int Result;
};

struct TMsgDlgParams {
  std::string Caption;  // empty: the application title
  std::string Text;
  TMsgDlgType Type = mtInformation;
  std::vector<TMsgDlgButton> Buttons;
  int DefaultButton = 0;       // index into Buttons; Enter presses it
  int CloseResult = mrCancel;  // the result when the close box closes the dialog
  // Index of the answer that cannot make the caller loop forever. It is taken when no
  // one can answer: at the end of standard input in console mode, and when the
  // application quits while the dialog is open.
  int SafeButton = 0;
};

// Shows the dialog centred on the screen and returns the result of the answer.
int MessageDialog(const TMsgDlgParams& params);

// The simple message box: the application title as caption, the text, one button "确定".
void ShowMessage(const std::string& text);

// A caption without its mnemonic marker ("重试[&R]" -> "重试[R]", "&&" -> "&"), and the
// mnemonic letter (0 when none).
std::string StripMnemonic(const std::string& caption);
char MnemonicChar(const std::string& caption);

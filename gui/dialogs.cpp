#include "gui/dialogs.h"

#include "base/sysutils.h"
#include "gui/application.h"
#include "gui/backend.h"

int MessageDialog(const TMsgDlgParams& params) {
  if (params.Buttons.empty()) throw EInvalidOperation("A message dialog needs a button");
  auto valid = [&](int index) { return index >= 0 && index < static_cast<int>(params.Buttons.size()); };
  if (!valid(params.DefaultButton) || !valid(params.SafeButton)) {
    throw ERangeError("Message dialog button index out of range");
  }
  TGuiBackend* backend = GuiBackend();
  return backend->ShowDialog(params, params.Caption.empty() ? Application->Title() : params.Caption);
}

void ShowMessage(const std::string& text) { GuiBackend()->ShowMessage(Application->Title(), text); }

std::string StripMnemonic(const std::string& caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    out += caption[i];
  }
  return out;
}

char MnemonicChar(const std::string& caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] != '&') return caption[i + 1];
    ++i;
  }
  return 0;
}

#include "gui/application.h"
#include "updater/form1.h"

int main() {
  TApplication application;
  try {
    Application->Initialize();
    Application->SetTitle("鼎川软件更新程序");
    Application->CreateForm(Form1);
    Application->Run();
  } catch (...) {
    Application->HandleException(nullptr);
    return 1;
  }
  return 0;
}

#include "gui/application.h"
#include "repairtool/form1.h"

int main() {
  TApplication application;
  try {
    Application->Initialize();
    Application->CreateForm(Form1);
    Application->Run();
  } catch (...) {
    Application->HandleException(nullptr);
    return 1;
  }
  return 0;
}

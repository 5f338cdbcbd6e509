// The updater as the process tests run it: the program itself, with one test hook. The
// update server's base URL is fixed at build time, but test servers listen on ports
// chosen at run time, so this build takes the base URL from UPDATER_TEST_BASE_URL when
// that is set. The shipped program has no such hook.
#include <cstdlib>

#include "gui/application.h"
#include "updater/form1.h"

int main() {
  TApplication application;
  try {
    Application->Initialize();
    Application->SetTitle("鼎川软件更新程序");
    Application->CreateForm(Form1);
    if (const char* url = std::getenv("UPDATER_TEST_BASE_URL")) Form1->BaseUrl = url;
    Application->Run();
  } catch (...) {
    Application->HandleException(nullptr);
    return 1;
  }
  return 0;
}

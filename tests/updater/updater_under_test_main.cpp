// The updater as the process tests run it: the program itself, with its test hooks. The
// update server's base URL is fixed at build time, but test servers listen on ports
// chosen at run time, so this build takes the base URL from UPDATER_TEST_BASE_URL when
// that is set; each test makes its own signing key, which UPDATER_TEST_PUBLIC_KEY hands
// over (set but empty: no key); and UPDATER_TEST_KILL_AT_STEP kills it at that step of an
// installation. The shipped program has no such hooks.
#include <csignal>
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
    if (const char* ca = std::getenv("UPDATER_TEST_CA_FILE")) TCustomTlsWSocket::TlsDefaultCaFile = ca;
    // The installation cut off at a chosen step, as a crash or a power loss would.
    if (const char* step = std::getenv("UPDATER_TEST_KILL_AT_STEP")) {
      const int at = std::atoi(step);
      Form1->OnInstallStep = [at](int n) {
#ifdef SIGKILL
        if (n == at) raise(SIGKILL);
#else
        // Windows has no signal that cannot be caught: end at once, with nothing flushed.
        if (n == at) std::_Exit(137);
#endif
      };
    }
    if (const char* key = std::getenv("UPDATER_TEST_PUBLIC_KEY")) Form1->PublicKey = key;
    Application->Run();
  } catch (...) {
    Application->HandleException(nullptr);
    return 1;
  }
  return 0;
}

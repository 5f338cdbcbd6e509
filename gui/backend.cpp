#include "gui/backend.h"

#include "gui/application.h"
#include "gui/consolebackend.h"

TGuiBackend* GuiBackend() {
  if (!Application) throw EInvalidOperation("No application object");
  return Application->Backend();
}

std::unique_ptr<TGuiBackend> CreateDefaultBackend() {
#ifdef _WIN32
  if (auto native = CreateWin32Backend()) return native;
#else
  if (auto fltk = CreateFltkBackend()) return fltk;
#endif
  return std::make_unique<TConsoleBackend>();
}

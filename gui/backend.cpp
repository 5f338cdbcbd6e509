#include "gui/backend.h"

#include "gui/application.h"
#include "gui/consolebackend.h"

TGuiBackend* GuiBackend() {
  if (!Application) throw EInvalidOperation("No application object");
  return Application->Backend();
}

std::unique_ptr<TGuiBackend> CreateDefaultBackend() {
  if (auto fltk = CreateFltkBackend()) return fltk;
  return std::make_unique<TConsoleBackend>();
}

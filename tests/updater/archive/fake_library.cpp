// Stand-ins for libraries that are not (complete) 7-Zip format libraries. Which exports
// exist is chosen at compile time.
#include <cstdint>

extern "C" {

__attribute__((visibility("default"))) int NotAnArchiveLibrary() { return 0; }

#ifdef WITH_CREATE_OBJECT
// Knows no format at all: CLASS_E_CLASSNOTAVAILABLE.
__attribute__((visibility("default"))) int32_t CreateObject(const void*, const void*, void** out) {
  if (out) *out = nullptr;
  return static_cast<int32_t>(0x80040111);
}
#endif

#ifdef WITH_HANDLER_PROPERTY2
__attribute__((visibility("default"))) int32_t GetHandlerProperty2(uint32_t, uint32_t, void*) {
  return static_cast<int32_t>(0x80004001);
}
#endif
}

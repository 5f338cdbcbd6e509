// Builds without a TLS engine (Windows until its own engine exists).
#include "net/tlsengine.h"

std::unique_ptr<TTlsEngine> CreateTlsEngine(TTlsTransport&) { return nullptr; }

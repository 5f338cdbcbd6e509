// A SOCKS proxy's replies. The first byte picks the reply expected and where the bytes are
// cut; the reply must read the same wherever it is cut and never past itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/socksreply.h"

namespace {

struct Outcome {
  TSocksReplyEvent event = TSocksReplyEvent::NeedMore;
  size_t used = 0;
  std::string detail;
};

Outcome Read(TSocksReplyState state, const uint8_t* data, size_t size, size_t cut) {
  TSocksReplyReader r;
  r.Expect(state);
  Outcome o;
  size_t at = 0;
  for (size_t end : {cut, size}) {
    const size_t wanted = r.MaxWanted();
    const size_t piece = std::min(end - at, wanted);
    size_t used = 0;
    o.event = r.Put(data + at, piece, used);
    if (used > piece) std::abort();
    at += used;
    if (o.event != TSocksReplyEvent::NeedMore) break;
    if (used != piece) std::abort();
    if (piece < end - at) break;  // the reply wanted no more
  }
  o.used = at;
  o.detail = std::to_string(r.ErrorCode()) + r.ErrorText() + r.BoundAddr() + ":" + r.BoundPort() +
             std::to_string(r.Method());
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const TSocksReplyState kStates[] = {
      TSocksReplyState::MethodReply, TSocksReplyState::AuthReply,
      TSocksReplyState::Version4Reply, TSocksReplyState::Version5Reply};
  const TSocksReplyState state = kStates[data[0] & 3];
  ++data;
  --size;
  const Outcome whole = Read(state, data, size, size);
  const size_t cut = size == 0 ? 0 : (data[0] * 7u) % (size + 1);
  const Outcome split = Read(state, data, size, cut);
  // The authentication reply fails on more than its two bytes only when they came at once.
  if (state != TSocksReplyState::AuthReply &&
      (whole.event != split.event || whole.detail != split.detail ||
       (whole.event == TSocksReplyEvent::Connected && whole.used != split.used)))
    std::abort();
  return 0;
}

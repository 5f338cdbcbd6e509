// What the response parser makes of a byte stream, as one text: the same bytes cut in
// other places must give the same text. Shared by the parser's tests and its fuzz target.
#pragma once

#include <string>
#include <vector>

#include "http/httpresponseparser.h"

namespace testsupport {

// Feeds the pieces in order. Body blocks are joined (where they are cut is the network's
// business); after the end of a document the next response is read from what follows, as
// on a kept-alive connection, up to a few of them.
inline std::string HttpTranscript(const std::vector<std::string>& pieces, bool head = false) {
  THttpResponseParser parser;
  parser.Reset(head);
  std::string out, body;
  auto flush = [&] {
    if (!body.empty()) out += "D" + std::to_string(body.size()) + ":" + body + "\n";
    body.clear();
  };
  int documents = 0;
  bool stopped = false;
  for (const std::string& piece : pieces) {
    size_t at = 0;
    while (!stopped) {
      const THttpParseStep step = parser.Put(piece.data() + at, piece.size() - at);
      at += step.Consumed;
      if (step.Event == THttpParseEvent::NeedMore) {
        if (at != piece.size()) out += "!left bytes on NeedMore\n";
        break;
      }
      if (step.Event == THttpParseEvent::Body) {
        body.append(parser.Data(), parser.Size());
        continue;
      }
      flush();
      switch (step.Event) {
        case THttpParseEvent::Line:
          out += "L" + std::to_string(static_cast<int>(parser.LineKind())) + ":" + parser.Line();
          if (parser.LineKind() == THttpLineKind::Status)
            out += "|" + parser.Version() + "|" + std::to_string(parser.StatusCode()) + "|" +
                   parser.StatusText();
          if (parser.LineKind() == THttpLineKind::Field)
            out += "|" + parser.FieldName() + "|" + parser.FieldValue();
          out += "\n";
          break;
        case THttpParseEvent::Interim: out += "I\n"; break;
        case THttpParseEvent::HeaderEnd:
          out += "H" + std::to_string(parser.HasBody()) + std::to_string(parser.Headerless()) +
                 " len " + std::to_string(parser.ContentLength()) + " chunked " +
                 std::to_string(parser.Chunked()) + "\n";
          break;
        case THttpParseEvent::BodyBegin: out += "B\n"; break;
        case THttpParseEvent::End:
          out += "E " + std::to_string(parser.BodyReceived()) + "\n";
          if (++documents == 4) {
            stopped = true;
          } else {
            parser.Reset(head);
          }
          break;
        case THttpParseEvent::Error:
          out += "X" + std::to_string(static_cast<int>(parser.Error())) + "\n";
          stopped = true;
          break;
        default: break;
      }
    }
  }
  flush();
  out += "C" + std::to_string(parser.CompleteAtClose()) + "\n";
  return out;
}

}  // namespace testsupport

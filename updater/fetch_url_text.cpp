#include "updater/fetch_url_text.h"

#include <memory>

#include "http/httpcli.h"

const char* const kFetchFailed = "超时";

std::string FetchUrlText(const std::string& url) {
  std::string result;
  try {
    auto client = std::make_unique<THttpCli>(nullptr);
    auto stream = std::make_unique<TStringStream>();
    client->Timeout = 1;
    client->URL = url;
    client->ReceiveStream = stream.get();
    bool tooLong = false;
    int64_t received = 0;
    client->OnDocData = [&](TObject*, const void*, int len) {
      received += len;
      if (received > kFetchMaxBody && !tooLong) {
        tooLong = true;
        client->Abort();
      }
    };
    try {
      client->Get();
      result = tooLong ? kFetchFailed : stream->DataString();
    } catch (...) {
      result = kFetchFailed;
    }
    client->ReceiveStream = nullptr;
  } catch (...) {
    // Even creating the client may fail (no socket layer): the same sentinel.
    result = kFetchFailed;
  }
  return result;
}

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
    try {
      client->Get();
      result = stream->DataString();
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

// A THttpCli with every event recorded, for the client's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/httpcli.h"
#include "tests/http/pump.h"
#include "tests/support/scripted_server.h"

namespace testsupport {

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    http = std::make_unique<THttpCli>(nullptr);
    http->Name = "HttpCli1";
    http->ReceiveStream = &body;
    http->OnRequestDone = [this](TObject* sender, THttpRequest rq, uint16_t err) {
      EXPECT_EQ(sender, http.get());
      ++doneCount;
      doneRq = rq;
      doneError = err;
      events += "done;";
    };
    http->OnHeaderBegin = [this](TObject*) { events += "hb;"; };
    http->OnHeaderEnd = [this](TObject*) { events += "he;"; };
    http->OnDocBegin = [this](TObject*) { events += "db;"; };
    http->OnDocEnd = [this](TObject*) { events += "de;"; };
    http->OnDocData = [this](TObject*, const void* b, int n) {
      docData.append(static_cast<const char*>(b), static_cast<size_t>(n));
    };
    http->OnLocationChange = [this](TObject*) { events += "loc;"; };
    http->OnSessionClosed = [this](TObject*) { ++sessionClosed; };
  }

  void TearDown() override {
    http.reset();
    PumpPending();
  }

  // Starts an asynchronous GET and runs the loop until it has ended; then gives late
  // events a moment to show.
  void GetAndWait(const std::string& url) {
    http->URL = url;
    http->GetASync();
    ASSERT_TRUE(PumpUntil([this] { return doneCount > 0; })) << "request never ended";
    PumpFor(100);
  }

  std::unique_ptr<THttpCli> http;
  TStringStream body;
  std::string docData;
  std::string events;
  int doneCount = 0;
  THttpRequest doneRq = httpABORT;
  uint16_t doneError = 0xFFFF;
  int sessionClosed = 0;
};

// A response with the given status line, extra header lines and body (with its length).
inline std::string Response(const std::string& status, const std::string& headers,
                            const std::string& content) {
  return status + "\r\n" + headers + "Content-Length: " + std::to_string(content.size()) +
         "\r\n\r\n" + content;
}

}  // namespace testsupport

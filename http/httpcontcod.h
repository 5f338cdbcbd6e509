// Content codings of the HTTP client: a process-wide registry of the codings the client
// knows, and the per-client handler that builds the "Accept-Encoding" value and passes a
// response body through the decoders its "content-encoding" header names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/classes.h"

DECLARE_EXCEPTION_CLASS(EHttpContentCodingException, Exception);

// Receives a block of bytes.
using TWriteBufferProc = std::function<void(const void* buffer, int len)>;

// One decoder instance, living for one response body.
class THttpContentCoding : public TObject {
 public:
  explicit THttpContentCoding(TWriteBufferProc output) : output_(std::move(output)) {}
  const char* ClassName() const override { return "THttpContentCoding"; }
  // Called once at the end of the body: flush what is still held.
  virtual void Complete() {}
  // Decodes a block and passes the result to the output. The base decodes nothing:
  // a coding without a writer of its own cannot take part in a chain.
  virtual bool HasWriter() const { return false; }
  virtual void WriteBuffer(const void* buffer, int len);

 protected:
  TWriteBufferProc output_;
};

// The class of a coding: what the registry holds and how decoders are made. The token
// defaults to the class name after "THttpContentCoding".
class THttpContentCodingClass {
 public:
  explicit THttpContentCodingClass(std::string className) : className_(std::move(className)) {}
  virtual ~THttpContentCodingClass() = default;
  const std::string& ClassName() const { return className_; }
  // Whether the coding can be used on this system.
  virtual bool GetActive() const { return true; }
  // EHttpContentCodingException "GetCoding must be overridden in %s" when the class name
  // gives no token.
  virtual std::string GetCoding() const;
  virtual std::unique_ptr<THttpContentCoding> Create(TWriteBufferProc output) const = 0;

 private:
  std::string className_;
};

// A coding class whose decoders are of type T (constructed from the output writer).
template <class T>
class TContentCodingClassOf : public THttpContentCodingClass {
 public:
  using THttpContentCodingClass::THttpContentCodingClass;
  std::unique_ptr<THttpContentCoding> Create(TWriteBufferProc output) const override {
    return std::make_unique<T>(std::move(output));
  }
};

// "identity" and "*" change nothing: their decoders pass the data through, so that a
// response naming them is delivered as it came.
class THttpCCodIdentity : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  const char* ClassName() const override { return "THttpCCodIdentity"; }
  bool HasWriter() const override { return true; }
  void WriteBuffer(const void* buffer, int len) override { output_(buffer, len); }
  static const THttpContentCodingClass* Class();
};

class THttpCCodStar : public THttpCCodIdentity {
 public:
  using THttpCCodIdentity::THttpCCodIdentity;
  const char* ClassName() const override { return "THttpCCodStar"; }
  static const THttpContentCodingClass* Class();
};

// The registry: coding classes with their default quality, in registration order.
// Created on first use holding identity (quality 0) and "*" (quality 0).
struct TContCodingEntry {
  const THttpContentCodingClass* CodingClass;
  float Quality;
};
class TContCodingsList {
 public:
  static TContCodingsList& Instance();
  int Count() const { return static_cast<int>(entries_.size()); }
  const TContCodingEntry& Items(int index) const { return entries_.at(index); }
  // Adds a coding; handlers created afterwards know it. The class object must outlive
  // every handler.
  void Add(const THttpContentCodingClass* codingClass, float quality);
  // Removes a coding added by Add (the two built-in ones stay).
  void Remove(const THttpContentCodingClass* codingClass);

 private:
  TContCodingsList();
  std::vector<TContCodingEntry> entries_;
};

// One registered coding as one handler sees it.
struct THttpContCodItem {
  const THttpContentCodingClass* CodingClass;
  bool Enabled = true;
  float Quality = 0;
};

class THttpContCodHandler : public TObject {
 public:
  // receiveStream is the address of the owner's stream variable, so a stream assigned
  // later is used; output gets every decoded block after the stream has.
  THttpContCodHandler(TStream* const* receiveStream, TWriteBufferProc output);
  ~THttpContCodHandler() override;
  const char* ClassName() const override { return "THttpContCodHandler"; }

  bool CodingEnabled() const { return codingEnabled_; }
  void SetCodingEnabled(bool value);
  bool QualityWanted() const { return qualityWanted_; }
  void SetQualityWanted(bool value);

  int ItemCount() const { return static_cast<int>(items_.size()); }
  const THttpContCodItem& Item(int index) const { return items_.at(index); }
  void SetItemEnabled(int index, bool enabled);
  void SetItemQuality(int index, float quality);

  // The value for "Accept-Encoding: "; empty when coding is off.
  std::string AcceptText();
  // Builds the decoder chain for one response; false (and no decoding) when a coding is
  // unknown.
  bool Prepare(const std::string& contentEncoding);
  // Completes every decoder, last created first.
  void Finish();
  // The input: a block of body bytes as received.
  void WriteBuffer(const void* buffer, int len);

 private:
  void Terminal(const void* buffer, int len);
  void FreeDecoders();

  TStream* const* receiveStream_;
  TWriteBufferProc output_;
  TWriteBufferProc input_;
  std::string header_;
  bool rebuildHeader_ = true;
  bool codingEnabled_ = false;
  bool qualityWanted_ = false;
  std::vector<std::unique_ptr<THttpContentCoding>> decoders_;
  std::vector<THttpContCodItem> items_;
};

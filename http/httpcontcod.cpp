#include "http/httpcontcod.h"

#include <cmath>
#include <cstdio>

namespace {

const char kCodingPrefix[] = "THttpContentCoding";

// The float pattern "0.###" with '.' as separator: at most three decimals, no trailing
// zeros.
std::string FormatQuality(float q) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(q));
  std::string s = buf;
  size_t dot = s.find('.');
  if (dot != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

class TIdentityClass : public TContentCodingClassOf<THttpCCodIdentity> {
 public:
  TIdentityClass() : TContentCodingClassOf("THttpCCodIdentity") {}
  std::string GetCoding() const override { return "identity"; }
};

class TStarClass : public TContentCodingClassOf<THttpCCodStar> {
 public:
  TStarClass() : TContentCodingClassOf("THttpCCodStar") {}
  std::string GetCoding() const override { return "*"; }
};

}  // namespace

void THttpContentCoding::WriteBuffer(const void*, int) {
  throw EHttpContentCodingException(std::string("No input writer in ") + ClassName());
}

std::string THttpContentCodingClass::GetCoding() const {
  const size_t n = sizeof kCodingPrefix - 1;
  if (className_.size() < n || className_.compare(0, n, kCodingPrefix) != 0) {
    throw EHttpContentCodingException("GetCoding must be overridden in " + className_);
  }
  return className_.substr(n);
}

const THttpContentCodingClass* THttpCCodIdentity::Class() {
  static const TIdentityClass cls;
  return &cls;
}

const THttpContentCodingClass* THttpCCodStar::Class() {
  static const TStarClass cls;
  return &cls;
}

TContCodingsList::TContCodingsList() {
  entries_.push_back({THttpCCodIdentity::Class(), 0});
  entries_.push_back({THttpCCodStar::Class(), 0});
}

TContCodingsList& TContCodingsList::Instance() {
  static TContCodingsList list;
  return list;
}

void TContCodingsList::Add(const THttpContentCodingClass* codingClass, float quality) {
  entries_.push_back({codingClass, quality});
}

void TContCodingsList::Remove(const THttpContentCodingClass* codingClass) {
  for (size_t i = 2; i < entries_.size(); ++i) {
    if (entries_[i].CodingClass == codingClass) {
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

THttpContCodHandler::THttpContCodHandler(TStream* const* receiveStream, TWriteBufferProc output)
    : receiveStream_(receiveStream), output_(std::move(output)) {
  const TContCodingsList& list = TContCodingsList::Instance();
  for (int i = 0; i < list.Count(); ++i) {
    THttpContCodItem item;
    item.CodingClass = list.Items(i).CodingClass;
    item.Quality = list.Items(i).Quality;
    items_.push_back(item);
  }
  input_ = [this](const void* buffer, int len) { Terminal(buffer, len); };
}

THttpContCodHandler::~THttpContCodHandler() { FreeDecoders(); }

void THttpContCodHandler::SetCodingEnabled(bool value) {
  if (codingEnabled_ != value) rebuildHeader_ = true;
  codingEnabled_ = value;
}

void THttpContCodHandler::SetQualityWanted(bool value) {
  if (qualityWanted_ != value) rebuildHeader_ = true;
  qualityWanted_ = value;
}

void THttpContCodHandler::SetItemEnabled(int index, bool enabled) {
  items_.at(index).Enabled = enabled;
  rebuildHeader_ = true;
}

void THttpContCodHandler::SetItemQuality(int index, float quality) {
  items_.at(index).Quality = quality;
  rebuildHeader_ = true;
}

std::string THttpContCodHandler::AcceptText() {
  if (!codingEnabled_) return std::string();
  if (!rebuildHeader_) return header_;

  auto usable = [](const THttpContCodItem& item) {
    return item.Enabled && item.CodingClass->GetActive();
  };
  bool printQuality = false;
  if (qualityWanted_) {
    int found = 0;
    for (int i = static_cast<int>(items_.size()) - 1; i >= 0 && found < 2; --i) {
      if (usable(items_[i])) ++found;
    }
    printQuality = found >= 2 || (!items_.empty() && found == 0);
  }

  std::string text;
  for (const THttpContCodItem& item : items_) {
    if (!usable(item)) continue;
    std::string token = item.CodingClass->GetCoding();
    if (printQuality) {
      if (!text.empty()) text += ", ";
      text += token + ";q=" + FormatQuality(item.Quality);
    } else if (item.Quality > 0) {
      if (!text.empty()) text += ", ";
      text += token;
    }
  }
  header_ = text;
  rebuildHeader_ = false;
  return header_;
}

void THttpContCodHandler::FreeDecoders() {
  decoders_.clear();
  input_ = [this](const void* buffer, int len) { Terminal(buffer, len); };
}

bool THttpContCodHandler::Prepare(const std::string& contentEncoding) {
  FreeDecoders();
  if (!codingEnabled_ || contentEncoding.empty()) return true;

  const TContCodingsList& list = TContCodingsList::Instance();
  size_t start = 0;
  while (start <= contentEncoding.size()) {
    size_t comma = contentEncoding.find(',', start);
    if (comma == std::string::npos) comma = contentEncoding.size();
    std::string token = Trim(contentEncoding.substr(start, comma - start));
    start = comma + 1;
    if (token.empty()) continue;

    const THttpContentCodingClass* found = nullptr;
    for (int i = list.Count() - 1; i >= 0 && !found; --i) {
      if (SameText(list.Items(i).CodingClass->GetCoding(), token))
        found = list.Items(i).CodingClass;
    }
    std::unique_ptr<THttpContentCoding> decoder;
    if (found) decoder = found->Create(input_);
    if (!decoder || !decoder->HasWriter()) {
      // Unknown or unusable: the body goes out as it came.
      FreeDecoders();
      return false;
    }
    THttpContentCoding* raw = decoder.get();
    decoders_.push_back(std::move(decoder));
    input_ = [raw](const void* buffer, int len) { raw->WriteBuffer(buffer, len); };
  }
  return true;
}

void THttpContCodHandler::Finish() {
  for (auto it = decoders_.rbegin(); it != decoders_.rend(); ++it) (*it)->Complete();
}

void THttpContCodHandler::WriteBuffer(const void* buffer, int len) { input_(buffer, len); }

void THttpContCodHandler::Terminal(const void* buffer, int len) {
  TStream* stream = *receiveStream_;
  if (stream) stream->WriteBuffer(buffer, len);
  if (output_) output_(buffer, len);
}

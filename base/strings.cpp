#include "base/classes.h"

namespace {

[[noreturn]] void IndexError(int index) {
  throw EStringListError(Format("List index out of bounds (%d)", index));
}

}  // namespace

const std::string& TStrings::operator[](int index) const {
  if (index < 0 || index >= Count()) IndexError(index);
  return items_[static_cast<size_t>(index)];
}

void TStrings::Put(int index, const std::string& s) {
  if (index < 0 || index >= Count()) IndexError(index);
  items_[static_cast<size_t>(index)] = s;
}

int TStrings::Add(const std::string& s) {
  items_.push_back(s);
  return Count() - 1;
}

void TStrings::Insert(int index, const std::string& s) {
  if (index < 0 || index > Count()) IndexError(index);
  items_.insert(items_.begin() + index, s);
}

void TStrings::Delete(int index) {
  if (index < 0 || index >= Count()) IndexError(index);
  items_.erase(items_.begin() + index);
}

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(items_[static_cast<size_t>(i)], s)) return i;
  }
  return -1;
}

std::string TStrings::Names(int index) const {
  const std::string& item = (*this)[index];
  const size_t eq = item.find('=');
  return eq == std::string::npos ? std::string() : item.substr(0, eq);
}

int TStrings::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& item = items_[static_cast<size_t>(i)];
    const size_t eq = item.find('=');
    if (eq != std::string::npos && SameText(item.substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStrings::Values(const std::string& name) const {
  const int i = IndexOfName(name);
  if (i < 0) return std::string();
  const std::string& item = items_[static_cast<size_t>(i)];
  return item.substr(item.find('=') + 1);
}

std::string TStrings::Text() const {
  std::string text;
  for (const std::string& item : items_) {
    text += item;
    text += sLineBreak;
  }
  return text;
}

void TStrings::SetText(const std::string& text) {
  items_.clear();
  size_t start = 0;
  while (start < text.size()) {
    const size_t lf = text.find('\n', start);
    if (lf == std::string::npos) {
      items_.push_back(text.substr(start));
      break;
    }
    const size_t end = lf > start && text[lf - 1] == '\r' ? lf - 1 : lf;
    items_.push_back(text.substr(start, end - start));
    start = lf + 1;
  }
}

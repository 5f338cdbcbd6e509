#include "net/linewsocket.h"

#include <algorithm>
#include <cstring>

TCustomLineWSocket::TCustomLineWSocket(TComponent* owner) : TCustomTlsWSocket(owner) {}

void TCustomLineWSocket::SetLineMode(bool value) {
  if (value == lineMode_) return;
  lineMode_ = value;
  // Bytes already gathered are handed out in the new mode from the message loop.
  if (count_ > 0 || pending_ > 0) platform::PostMessage(Handle(), msgLineDelivery_, 0, 0);
}

int TCustomLineWSocket::PendingCount() {
  if (lineMode_) return pending_;
  if (count_ > 0) return count_;
  return TCustomTlsWSocket::PendingCount();
}

void TCustomLineWSocket::WindowProc(TMessage& msg) {
  if (msg.Msg != msgLineDelivery_) {
    TCustomTlsWSocket::WindowProc(msg);
    return;
  }
  try {
    DeliverBuffered();
  } catch (const std::exception& e) {
    HandleFailure(e);
  }
}

void TCustomLineWSocket::DeliverBuffered() {
  int passes = 0;
  while (count_ > 0) {
    ++passes;
    foundThisPass_ = false;
    int before = count_;
    TriggerDataAvailable(0);
    if (count_ == 0) break;
    if (lineMode_ && passes > 3 && !foundThisPass_) break;
    if (!lineMode_ && count_ == before) break;  // nobody reads the raw bytes
  }
}

// Fires OnDataAvailable for the current line; false when the line is to be dropped
// (no handler, or one that read nothing of it).
bool TCustomLineWSocket::FireForLine() {
  int before = pending_;
  if (!TCustomTlsWSocket::TriggerDataAvailable(0)) return false;
  return !(lineMode_ && pending_ == before);
}

bool TCustomLineWSocket::TriggerDataAvailable(uint16_t error) {
  if (!lineMode_ || LineEnd.empty() || LinkNegotiating())
    return TCustomTlsWSocket::TriggerDataAvailable(error);
  int n = TCustomTlsWSocket::PendingCount();
  if (n < 0) return true;
  if (n == 0) n = 255;
  if (buffer_.size() < static_cast<size_t>(count_ + n + 1))
    buffer_.resize(static_cast<size_t>(count_ + n + 1));
  int got = Receive(buffer_.data() + count_, n);
  if (got < 1) {
    if (count_ == 0) return true;
    got = 0;
  }
  if (got > 0) {
    if (LineEdit) ApplyLineEditing(got);
    else if (LineEcho) Send(buffer_.data() + count_, got);
  }
  const int endLen = static_cast<int>(LineEnd.size());
  int start = std::max(count_ - endLen, 0);
  count_ += got;
  while (lineMode_) {
    int found = -1;
    for (int i = start; i <= count_ - endLen; ++i) {
      if (buffer_[i] == LineEnd[0] && std::memcmp(&buffer_[i], LineEnd.data(), endLen) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      if (LineLimit > 0 && count_ > LineLimit) {
        bool clear = true;
        inLimitEvent_ = true;
        try {
          TriggerLineLimitExceeded(count_, clear);
        } catch (...) {
          inLimitEvent_ = false;
          throw;
        }
        inLimitEvent_ = false;
        if (clear) {
          count_ = 0;
          pending_ = 0;
        }
      }
      return true;
    }
    const int lineLen = found + endLen;
    pending_ = lineLen;
    foundThisPass_ = true;
    while (lineMode_ && pending_ > 0)
      if (!FireForLine()) pending_ = 0;
    if (pending_ <= 0) {
      pending_ = 0;
      std::memmove(buffer_.data(), buffer_.data() + lineLen, static_cast<size_t>(count_ - lineLen));
      count_ -= lineLen;
    } else {
      // Line mode went off in the middle of the line: its unread rest is at the front,
      // the bytes after the line move up behind it.
      std::memmove(buffer_.data() + pending_, buffer_.data() + lineLen,
                   static_cast<size_t>(count_ - lineLen));
      count_ = pending_ + (count_ - lineLen);
      pending_ = 0;
    }
    buffer_[count_] = 0;
    while (!lineMode_ && count_ > 0) {
      int before = count_;
      if (!TCustomTlsWSocket::TriggerDataAvailable(0) || count_ == before) break;
    }
    start = 0;
  }
  return true;
}

int TCustomLineWSocket::RawReceive(void* buffer, int size) {
  char* out = static_cast<char*>(buffer);
  if (lineMode_ && pending_ > 0) {
    if (size >= pending_) {
      int n = pending_;
      std::memcpy(out, buffer_.data(), static_cast<size_t>(n));
      pending_ = 0;
      return n;
    }
    if (size <= 0) return 0;
    std::memcpy(out, buffer_.data(), static_cast<size_t>(size));
    std::memmove(buffer_.data(), buffer_.data() + size, static_cast<size_t>(pending_ - size));
    // The bytes after the line stay where they are until the whole line is consumed.
    pending_ -= size;
    return size;
  }
  if (!lineMode_ && count_ > 0) {
    if (size >= count_) {
      int n = count_;
      std::memcpy(out, buffer_.data(), static_cast<size_t>(n));
      count_ = 0;
      buffer_[0] = 0;
      return n;
    }
    if (size <= 0) return 0;
    std::memcpy(out, buffer_.data(), static_cast<size_t>(size));
    std::memmove(buffer_.data(), buffer_.data() + size, static_cast<size_t>(count_ - size + 1));
    count_ -= size;
    return size;
  }
  return TCustomTlsWSocket::RawReceive(buffer, size);
}

void TCustomLineWSocket::TriggerSessionClosed(uint16_t error) {
  if (!buffer_.empty() && lineMode_ && count_ > 0 && !inLimitEvent_) {
    // An unterminated last line reaches the handler before the close.
    pending_ = count_;
    while (lineMode_ && pending_ > 0)
      if (!FireForLine()) break;
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
  count_ = 0;
  pending_ = 0;
  TCustomTlsWSocket::TriggerSessionClosed(error);
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int count, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(this, count, clearData);
}

int TCustomLineWSocket::SendTextLine(const std::string& text) {
  if (text.empty()) return 0;
  QueueText(text);
  if (SendText(LineEnd) < 0) return -1;
  return static_cast<int>(text.size() + LineEnd.size());
}

void TCustomLineWSocket::ApplyLineEditing(int& got) {
  const int oldCount = count_;
  int out = oldCount;
  int lowest = oldCount;
  std::vector<char> edit;
  bool editing = false;
  auto echo = [this](const char* s, int n) {
    if (LineEcho) Send(s, n);
  };
  auto startEdit = [&](int inputPos) {
    if (editing) return;
    editing = true;
    edit.assign(buffer_.begin(), buffer_.begin() + inputPos);
    edit.reserve(static_cast<size_t>(((oldCount + got + 256) / 256) * 256));
  };
  auto store = [&](char c) {
    if (static_cast<int>(edit.size()) <= out) edit.resize(static_cast<size_t>(out + 1));
    edit[static_cast<size_t>(out)] = c;
  };
  for (int k = 0; k < got; ++k) {
    char c = buffer_[static_cast<size_t>(oldCount + k)];
    if (c == 8) {
      if (out > 0) echo("\b \b", 3);
      startEdit(oldCount + k);
      if (out > 0) {
        --out;
        lowest = std::min(lowest, out);
      }
    } else if (c == 9) {
      startEdit(oldCount + k);
      do {
        echo(" ", 1);
        store(' ');
        ++out;
      } while (out % 8 != 0);
    } else {
      echo(&c, 1);
      if (editing) store(c);
      ++out;
    }
  }
  if (!editing) return;
  if (buffer_.size() < static_cast<size_t>(out + 1)) buffer_.resize(static_cast<size_t>(out + 1));
  std::memcpy(buffer_.data(), edit.data(), static_cast<size_t>(out));
  buffer_[static_cast<size_t>(out)] = 0;
  count_ = lowest;
  got = out - lowest;
}

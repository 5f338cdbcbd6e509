// TCustomLineWSocket: line mode. With LineMode on, received bytes are gathered and
// OnDataAvailable fires once per complete line (ended by LineEnd); Receive then hands
// out exactly that line. Optional echo and terminal-style editing; LineLimit guards
// against a peer that never sends a terminator.
//
// A handler in line mode must read the line it is given (or switch line mode off); a
// line its handler leaves unread is dropped.
#pragma once

#include <vector>

#include "net/tlswsocket.h"

using TLineLimitEvent = std::function<void(TObject* Sender, int RcvdLength, bool& ClearData)>;

class TCustomLineWSocket : public TCustomTlsWSocket {
 public:
  explicit TCustomLineWSocket(TComponent* owner);
  const char* ClassName() const override { return "TCustomLineWSocket"; }

  bool LineMode() const { return lineMode_; }
  virtual void SetLineMode(bool value);
  std::string LineEnd = "\r\n";
  // 0 or less: no limit.
  int LineLimit = 65536;
  bool LineEcho = false;
  bool LineEdit = false;
  TLineLimitEvent OnLineLimitExceeded;

  // Queues text and sends LineEnd; an empty text sends nothing and returns 0.
  virtual int SendTextLine(const std::string& text);
  // In line mode: the length of the line being delivered.
  int PendingCount() override;

  // Bytes held in the line buffer (tests, diagnostics).
  int BufferedCount() const { return count_; }

 protected:
  void WindowProc(TMessage& msg) override;
  bool TriggerDataAvailable(uint16_t error) override;
  void TriggerSessionClosed(uint16_t error) override;
  int RawReceive(void* buffer, int size) override;
  virtual void TriggerLineLimitExceeded(int count, bool& clearData);
  virtual void ApplyLineEditing(int& got);

  // Used by the waiting layer: milliseconds, 0 = no limit.
  int waitTimeout_ = 0;

 private:
  bool FireForLine();
  void DeliverBuffered();

  std::vector<char> buffer_;  // count_ bytes, then a zero byte
  int count_ = 0;
  bool lineMode_ = false;
  int pending_ = 0;
  bool foundThisPass_ = false;
  bool inLimitEvent_ = false;
};

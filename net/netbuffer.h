// The send buffer chain: data handed to a socket is copied once into fixed-size blocks
// and sent from there, oldest first. Emptied blocks wait on a spare list for reuse.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "base/classes.h"

class TNetBuffer : public TObject {
 public:
  // A size of 0 or less means 1460.
  explicit TNetBuffer(int size);
  const char* ClassName() const override { return "TNetBuffer"; }

  // Copies what fits from source + offset; returns the count copied (0 when full).
  int Write(const void* source, int offset, int count);
  // Waiting bytes; when above 0, ptr points at the first of them.
  int Peek(const char*& ptr) const;
  // Consumes up to count waiting bytes; an emptied block is fully writable again.
  int Remove(int count);
  int Available() const { return writePos_ - readPos_; }
  int Size() const { return size_; }

  TNetBuffer* Next = nullptr;
  TNetBuffer* Prev = nullptr;

 private:
  friend class TNetBufferHandler;
  std::unique_ptr<char[]> data_;
  int size_;
  int writePos_ = 0;
  int readPos_ = 0;
};

// Owns its blocks.
class TNetBufferLinkedList : public TObject {
 public:
  TNetBufferLinkedList() = default;
  ~TNetBufferLinkedList() override;
  TNetBufferLinkedList(const TNetBufferLinkedList&) = delete;
  TNetBufferLinkedList& operator=(const TNetBufferLinkedList&) = delete;
  const char* ClassName() const override { return "TNetBufferLinkedList"; }

  void PushFront(TNetBuffer* block);
  void PushBack(TNetBuffer* block);
  TNetBuffer* PopFront();
  TNetBuffer* Head() const { return head_; }
  TNetBuffer* Tail() const { return tail_; }
  int Count() const;

 private:
  TNetBuffer* head_ = nullptr;
  TNetBuffer* tail_ = nullptr;
};

// The caller holds Lock() around every use; the lock is re-entrant for its holder.
class TNetBufferHandler : public TComponent {
 public:
  explicit TNetBufferHandler(TComponent* owner);
  const char* ClassName() const override { return "TNetBufferHandler"; }

  void Write(const void* source, int count);
  // Waiting bytes of the head block only.
  int Peek(const char*& ptr) const;
  // Consumes from the head block only; raises Exception for a negative count or an
  // empty chain.
  void Remove(int count);
  void Clear();
  bool IsEmpty() const;
  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

  int BufSize = 1460;
  const TNetBufferLinkedList& InUse() const { return inUse_; }
  const TNetBufferLinkedList& Spare() const { return spare_; }

 private:
  TNetBuffer* NewTail();

  TNetBufferLinkedList inUse_;
  TNetBufferLinkedList spare_;
  std::recursive_mutex lock_;
};

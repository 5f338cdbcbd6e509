#include "net/netbuffer.h"

#include <algorithm>
#include <cstring>

TNetBuffer::TNetBuffer(int size) : size_(size > 0 ? size : 1460) {
  data_ = std::make_unique<char[]>(static_cast<size_t>(size_));
}

int TNetBuffer::Write(const void* source, int offset, int count) {
  int n = std::min(count, size_ - writePos_);
  if (n <= 0) return 0;
  std::memcpy(data_.get() + writePos_, static_cast<const char*>(source) + offset,
              static_cast<size_t>(n));
  writePos_ += n;
  return n;
}

int TNetBuffer::Peek(const char*& ptr) const {
  int n = writePos_ - readPos_;
  if (n > 0) ptr = data_.get() + readPos_;
  return n;
}

int TNetBuffer::Remove(int count) {
  int n = std::min(count, writePos_ - readPos_);
  if (n <= 0) return 0;
  readPos_ += n;
  if (readPos_ == writePos_) readPos_ = writePos_ = 0;
  return n;
}

TNetBufferLinkedList::~TNetBufferLinkedList() {
  while (TNetBuffer* b = PopFront()) delete b;
}

void TNetBufferLinkedList::PushFront(TNetBuffer* block) {
  block->Prev = nullptr;
  block->Next = head_;
  if (head_) head_->Prev = block;
  else tail_ = block;
  head_ = block;
}

void TNetBufferLinkedList::PushBack(TNetBuffer* block) {
  block->Next = nullptr;
  block->Prev = tail_;
  if (tail_) tail_->Next = block;
  else head_ = block;
  tail_ = block;
}

TNetBuffer* TNetBufferLinkedList::PopFront() {
  TNetBuffer* b = head_;
  if (!b) return nullptr;
  head_ = b->Next;
  if (head_) head_->Prev = nullptr;
  else tail_ = nullptr;
  b->Next = b->Prev = nullptr;
  return b;
}

int TNetBufferLinkedList::Count() const {
  int n = 0;
  for (TNetBuffer* b = head_; b; b = b->Next) ++n;
  return n;
}

TNetBufferHandler::TNetBufferHandler(TComponent* owner) : TComponent(owner) {}

TNetBuffer* TNetBufferHandler::NewTail() {
  TNetBuffer* b = spare_.PopFront();
  if (!b) b = new TNetBuffer(BufSize);
  inUse_.PushBack(b);
  return b;
}

void TNetBufferHandler::Write(const void* source, int count) {
  TNetBuffer* b = inUse_.Tail();
  if (!b) b = NewTail();
  int offset = 0, remaining = count;
  for (;;) {
    int n = b->Write(source, offset, remaining);
    if (n >= remaining) return;
    remaining -= n;
    offset += n;
    b = NewTail();
  }
}

int TNetBufferHandler::Peek(const char*& ptr) const {
  TNetBuffer* b = inUse_.Head();
  return b ? b->Peek(ptr) : 0;
}

void TNetBufferHandler::Remove(int count) {
  if (count < 0) throw Exception("TNetBufferHandler.Remove: Invalid Len " + IntToStr(count));
  TNetBuffer* b = inUse_.Head();
  if (!b) throw Exception("TNetBufferHandler.Remove: nothing to remove");
  b->Remove(count);
  if (b->Available() == 0) spare_.PushFront(inUse_.PopFront());
}

void TNetBufferHandler::Clear() {
  while (TNetBuffer* b = inUse_.PopFront()) {
    b->readPos_ = b->writePos_ = 0;
    spare_.PushFront(b);
  }
}

bool TNetBufferHandler::IsEmpty() const {
  TNetBuffer* b = inUse_.Head();
  return !b || b->Available() == 0;
}

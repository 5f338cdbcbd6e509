// Objects, component ownership, events, streams and string lists.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/sysutils.h"

class TObject {
 public:
  virtual ~TObject() = default;
  virtual const char* ClassName() const { return "TObject"; }
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// ---------------------------------------------------------------------------------------
// Components own the components created with them as owner and destroy them (last
// created first) when they are destroyed themselves.
//
// C++ destroys the derived part of an object before ~TComponent runs. A class whose owned
// components call back into it while they are destroyed calls DestroyComponents() at the
// start of its own destructor.

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  const char* ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(index); }
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  std::string Name;

  // True once destruction has begun.
  bool Destroying() const { return destroying_; }

 protected:
  // Called on the owner when a component is inserted into or removed from it; the
  // default passes the call on to every component the owner holds (after a removal,
  // the removed one is no longer among them). Overrides call it too.
  virtual void Notification(TComponent* component, TOperation operation);
  void DestroyComponents();
  void BeginDestroy() { destroying_ = true; }

 private:
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  bool destroying_ = false;
};

// ---------------------------------------------------------------------------------------
// Streams. Positions and sizes are 64-bit.

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
 public:
  const char* ClassName() const override { return "TStream"; }
  // Bytes transferred; fewer than asked at the end of the stream.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual void SetSize(int64_t size) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // All or an exception: EReadError "Stream read error", EWriteError "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position (count 0: the whole source from its
  // start). Returns the bytes copied.
  int64_t CopyFrom(TStream* source, int64_t count);
};

class TMemoryStream : public TStream {
 public:
  const char* ClassName() const override { return "TMemoryStream"; }
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void Clear();
  char* Memory() { return data_.data(); }
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);

 protected:
  std::string data_;
  int64_t position_ = 0;
};

// A memory stream whose content is read and written as a byte string.
class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(const std::string& initial = std::string());
  const char* ClassName() const override { return "TStringStream"; }
  const std::string& DataString() const { return data_; }
};

// Open modes of TFileStream: fmCreate, or one access mode combined with one share mode.
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;
constexpr uint16_t fmCreate = 0xFF00;  // create or empty, exclusive use (may add a share mode)

// Errors name the path and the system's reason:
//   EFCreateError: Cannot create file "<path>". <reason>
//   EFOpenError:   Cannot open file "<path>". <reason>
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint16_t mode);
  ~TFileStream() override;
  const char* ClassName() const override { return "TFileStream"; }
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override;
  const std::string& FileName() const { return fileName_; }
  // Through this stream's own handle: another opener could be refused by its share mode.
  bool FlushToDisk();

 private:
  std::string fileName_;
  intptr_t handle_;
};

// ---------------------------------------------------------------------------------------
// String lists.

class TStrings : public TObject {
 public:
  const char* ClassName() const override { return "TStrings"; }
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const;  // EStringListError "List index out of bounds (%d)"
  const std::string& Strings(int index) const { return (*this)[index]; }
  void Put(int index, const std::string& s);
  int Add(const std::string& s);
  void Insert(int index, const std::string& s);
  void Delete(int index);
  void Clear() { items_.clear(); }
  // Case-insensitive; -1 when absent.
  int IndexOf(const std::string& s) const;
  // "name=value" entries.
  std::string Names(int index) const;
  std::string Values(const std::string& name) const;
  int IndexOfName(const std::string& name) const;
  // Every line followed by sLineBreak ("\n"); setting splits at LF, dropping a CR before
  // it, so text written on Windows reads the same.
  std::string Text() const;
  void SetText(const std::string& text);
  void Assign(const TStrings& other) { items_ = other.items_; }
  const std::vector<std::string>& Items() const { return items_; }

 protected:
  std::vector<std::string> items_;
};

class TStringList : public TStrings {
 public:
  const char* ClassName() const override { return "TStringList"; }
};

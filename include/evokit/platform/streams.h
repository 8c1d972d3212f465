// Byte streams: the abstract TStream, files, memory and strings. The XML documents,
// component streaming and the population files read and write through these.
// Thread safety: a stream object is not shared between threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <evokit/platform/exceptions.h>

namespace evokit {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// File open modes for TFileStream.
enum TFileMode : unsigned {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFF00,
};

class TStream {
 public:
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to Count bytes; returns how many were read (0 at the end).
  virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
  // Writes Count bytes; returns how many were written.
  virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
  // Moves the position; returns the new position. Throws EStreamError before the start.
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t Value) { Seek(Value, soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t NewSize);

  // Reads exactly Count bytes or throws EStreamError ("Stream read error").
  void ReadBuffer(void* Buffer, std::int64_t Count);
  // Writes exactly Count bytes or throws EStreamError ("Stream write error").
  void WriteBuffer(const void* Buffer, std::int64_t Count);
  // Copies Count bytes from Source (all of Source from its start when Count is 0).
  std::int64_t CopyFrom(TStream& Source, std::int64_t Count);

  // Reads everything from the current position to the end.
  std::string ReadAll();
  void WriteString(const std::string& Text) { WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size())); }

 protected:
  TStream() = default;
};

// A stream on a file. Opening a missing file, or anything but a regular file (a folder,
// a device), for reading throws EFOpenError; a file that cannot be created throws
// EFCreateError. fmCreate truncates the file at once: to replace a file only when the
// new contents are complete, use TSafeFileStream.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& FileName, unsigned Mode);
  ~TFileStream() override;
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(std::int64_t NewSize) override;
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  std::FILE* FHandle = nullptr;
};

// A stream that replaces a file only once everything has been written: the data goes to
// a temporary file in the same folder, and Commit flushes it, syncs it to disk, closes it
// and renames it over FileName (keeping the old file's permissions). Every write and each
// of those steps is checked. A stream destroyed without Commit (an error on the way)
// removes its temporary file and leaves FileName as it was.
// A symbolic link (or a chain of them) is followed: the file it names is replaced in its
// own folder and the link stays; a link to nothing creates the file it names. A target
// that exists and is no regular file (a device, FIFO or socket) cannot be replaced
// atomically and is written in place, without a temporary file: a FIFO waits for a
// reader, as any writer does, and a failed write (a full device) throws as usual.
// Errors: EFCreateError with the path and the system's reason.
// Use: `TSafeFileStream out(name); Save(out); out.Commit();`
class TSafeFileStream : public TStream {
 public:
  explicit TSafeFileStream(const std::string& FileName);
  ~TSafeFileStream() override;
  TSafeFileStream(const TSafeFileStream&) = delete;
  TSafeFileStream& operator=(const TSafeFileStream&) = delete;
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  void Commit();
  const std::string& FileName() const { return FFileName; }

 private:
  [[noreturn]] void Fail(const char* What, int Error) const;
  std::string FFileName;
  std::string FTarget;    // FileName with its links followed: the file written
  std::string FTempName;  // empty when writing in place
  int FHandle = -1;
  bool FInPlace = false;
};

// Writes a file through a TSafeFileStream: Save writes the contents, then the stream is
// committed. On any failure the old file is left as it was.
template <class F>
void SaveFileSafely(const std::string& FileName, F&& Save) {
  TSafeFileStream stream(FileName);
  Save(static_cast<TStream&>(stream));
  stream.Commit();
}

// A growable stream in memory.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
  void SetSize(std::int64_t NewSize) override;
  void Clear() { FData.clear(); FPosition = 0; }
  const char* Memory() const { return FData.data(); }
  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) const;
  void LoadFromFile(const std::string& FileName);
  // Replaces the file only once all data is written (TSafeFileStream).
  void SaveToFile(const std::string& FileName) const;

 protected:
  std::vector<char> FData;
  std::int64_t FPosition = 0;
};

// A memory stream whose contents are read and written as a std::string.
class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(const std::string& Data = std::string());
  std::string DataString() const { return std::string(FData.begin(), FData.end()); }
};

}  // namespace evokit

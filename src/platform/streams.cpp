#include <evokit/platform/streams.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace evokit {

std::int64_t TStream::Size() {
  const std::int64_t pos = Seek(0, soCurrent);
  const std::int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) { throw EStreamError("Stream does not support SetSize"); }

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
  if (Count > 0 && Read(Buffer, Count) != Count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  char buffer[65536];
  std::int64_t done = 0;
  while (done < Count) {
    const std::int64_t chunk = std::min<std::int64_t>(sizeof buffer, Count - done);
    Source.ReadBuffer(buffer, chunk);
    WriteBuffer(buffer, chunk);
    done += chunk;
  }
  return done;
}

std::string TStream::ReadAll() {
  std::string out;
  char buffer[65536];
  for (;;) {
    const std::int64_t n = Read(buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// --- TFileStream -------------------------------------------------------------

TFileStream::TFileStream(const std::string& FileName, unsigned Mode) : FFileName(FileName) {
  if ((Mode & fmCreate) == fmCreate) {
    FHandle = std::fopen(FileName.c_str(), "w+b");
    if (!FHandle)
      throw EFCreateError("Cannot create file \"" + FileName + "\". " + std::strerror(errno));
    return;
  }
  const char* mode = (Mode & 0x3) == fmOpenRead ? "rb" : "r+b";
  FHandle = std::fopen(FileName.c_str(), mode);
  if (!FHandle)
    throw EFOpenError("Cannot open file \"" + FileName + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
  if (FHandle) std::fclose(FHandle);
}

std::int64_t TFileStream::Read(void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  return static_cast<std::int64_t>(std::fread(Buffer, 1, static_cast<std::size_t>(Count), FHandle));
}

std::int64_t TFileStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  return static_cast<std::int64_t>(std::fwrite(Buffer, 1, static_cast<std::size_t>(Count), FHandle));
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  const int whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  if (fseeko(FHandle, static_cast<off_t>(Offset), whence) != 0) throw EStreamError("Stream seek error");
  return static_cast<std::int64_t>(ftello(FHandle));
}

void TFileStream::SetSize(std::int64_t NewSize) {
  std::fflush(FHandle);
  if (ftruncate(fileno(FHandle), static_cast<off_t>(NewSize)) != 0)
    throw EFCreateError("Cannot resize file \"" + FFileName + "\"");
  if (Position() > NewSize) SetPosition(NewSize);
}

// --- TMemoryStream ------------------------------------------------------------

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
  const std::int64_t available = static_cast<std::int64_t>(FData.size()) - FPosition;
  const std::int64_t n = std::max<std::int64_t>(0, std::min(Count, available));
  if (n > 0) std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  const std::int64_t end = FPosition + Count;
  if (end > static_cast<std::int64_t>(FData.size())) FData.resize(static_cast<std::size_t>(end));
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition = end;
  return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t target = Offset;
  if (Origin == soCurrent) target += FPosition;
  if (Origin == soEnd) target += static_cast<std::int64_t>(FData.size());
  if (target < 0) throw EStreamError("Stream seek error");
  FPosition = target;
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) throw EStreamError("Stream size error");
  FData.resize(static_cast<std::size_t>(NewSize));
  FPosition = std::min(FPosition, NewSize);
}

void TMemoryStream::LoadFromStream(TStream& Stream) {
  Stream.SetPosition(0);
  const std::int64_t size = Stream.Size();
  FData.resize(static_cast<std::size_t>(size));
  Stream.ReadBuffer(FData.data(), size);
  FPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& Stream) const {
  Stream.WriteBuffer(FData.data(), static_cast<std::int64_t>(FData.size()));
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream file(FileName, fmOpenRead);
  LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& FileName) const {
  TFileStream file(FileName, fmCreate);
  SaveToStream(file);
}

TStringStream::TStringStream(const std::string& Data) {
  FData.assign(Data.begin(), Data.end());
}

}  // namespace evokit

#include <evokit/platform/streams.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
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
  // A folder or a device has no size to read to: refuse it rather than read without end.
  struct stat info {};
  if (fstat(fileno(FHandle), &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    std::fclose(FHandle);
    FHandle = nullptr;
    throw EFOpenError("Cannot open file \"" + FileName + "\". " +
                      (error == EISDIR ? std::strerror(error) : "Not a regular file"));
  }
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

// --- TSafeFileStream ----------------------------------------------------------

namespace {

// Where a save to Path lands: Path itself, or the file at the end of its chain of
// symbolic links (a relative link target is read from the link's folder). Info receives
// lstat of the result; Exists is false when nothing is there (a new file, or a dangling
// link's target). Returns an errno value, 0 on success.
int ResolveSaveTarget(std::string& Path, struct stat& Info, bool& Exists) {
  for (int hops = 0;; ++hops) {
    if (lstat(Path.c_str(), &Info) != 0) {
      Exists = false;
      return errno == ENOENT ? 0 : errno;
    }
    Exists = true;
    if (!S_ISLNK(Info.st_mode)) return 0;
    if (hops == 40) return ELOOP;
    std::string target(static_cast<std::size_t>(Info.st_size > 0 ? Info.st_size : 255) + 1, '\0');
    for (;;) {
      const ssize_t n = readlink(Path.c_str(), target.data(), target.size());
      if (n < 0) return errno;
      if (static_cast<std::size_t>(n) < target.size()) {
        target.resize(static_cast<std::size_t>(n));
        break;
      }
      target.resize(target.size() * 2);  // the link grew since lstat
    }
    if (target.empty()) return ENOENT;
    if (target.front() != '/') {
      const std::size_t slash = Path.rfind('/');
      target.insert(0, slash == std::string::npos ? std::string() : Path.substr(0, slash + 1));
    }
    Path = std::move(target);
  }
}

}  // namespace

TSafeFileStream::TSafeFileStream(const std::string& FileName) : FFileName(FileName), FTarget(FileName) {
  struct stat info {};
  bool exists = false;
  if (const int error = ResolveSaveTarget(FTarget, info, exists)) Fail("create", error);
  if (exists && !S_ISREG(info.st_mode)) {
    // A device, FIFO or socket cannot be replaced by a file: write to it in place.
    FInPlace = true;
    FHandle = open(FTarget.c_str(), O_WRONLY | O_CLOEXEC);
    if (FHandle < 0) Fail("create", errno);
    return;
  }
  // O_EXCL on a fresh name per attempt: never write into a file someone else holds.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    FTempName = FTarget + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    FHandle = open(FTempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (FHandle >= 0 || errno != EEXIST) break;
  }
  if (FHandle < 0) Fail("create", errno);
  // The replacement keeps the permissions of the file it replaces.
  if (exists) fchmod(FHandle, info.st_mode & 07777);
}

TSafeFileStream::~TSafeFileStream() {
  if (FHandle >= 0) {
    close(FHandle);
    if (!FInPlace) unlink(FTempName.c_str());
  }
}

void TSafeFileStream::Fail(const char* What, int Error) const {
  throw EFCreateError("Cannot " + std::string(What) + " file \"" + FFileName + "\". " + std::strerror(Error));
}

std::int64_t TSafeFileStream::Read(void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  const ssize_t n = read(FHandle, Buffer, static_cast<std::size_t>(Count));
  if (n < 0) Fail("read", errno);
  return n;
}

std::int64_t TSafeFileStream::Write(const void* Buffer, std::int64_t Count) {
  const char* data = static_cast<const char*>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    const ssize_t n = write(FHandle, data + done, static_cast<std::size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write", n < 0 ? errno : ENOSPC);
    done += n;
  }
  return done;
}

std::int64_t TSafeFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  const int whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  const off_t position = lseek(FHandle, static_cast<off_t>(Offset), whence);
  if (position < 0) throw EStreamError("Stream seek error");
  return position;
}

void TSafeFileStream::Commit() {
  if (FHandle < 0) throw EFCreateError("File \"" + FFileName + "\" was already written");
  // A device or FIFO may not support fsync (EINVAL); its close still reports a failed write.
  if (fsync(FHandle) != 0 && !(FInPlace && (errno == EINVAL || errno == EROFS))) Fail("write", errno);
  const int handle = std::exchange(FHandle, -1);
  if (close(handle) != 0) {
    const int error = errno;
    if (!FInPlace) unlink(FTempName.c_str());
    Fail("write", error);
  }
  if (FInPlace) return;
  if (rename(FTempName.c_str(), FTarget.c_str()) != 0) {
    const int error = errno;
    unlink(FTempName.c_str());
    Fail("replace", error);
  }
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
  SaveFileSafely(FileName, [this](TStream& Stream) { SaveToStream(Stream); });
}

TStringStream::TStringStream(const std::string& Data) {
  FData.assign(Data.begin(), Data.end());
}

}  // namespace evokit

#include "files/ArchiveCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <strings.h>

#include "files/OleDate.h"

namespace {

std::string OsReason(int err) { return std::strerror(err); }

// Why a folder of the target path cannot take the copy, or empty.
std::string FolderProblem(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return OsReason(errno);
  if (!S_ISDIR(st.st_mode)) return OsReason(ENOTDIR);
  return {};
}

// Creates a new file of a name not yet taken in `folder`, exclusively and
// without following a link; -1 with errno set when none can be created.
int CreateTemporary(const std::string& folder, std::string& path) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  std::mt19937_64 random((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^
                         static_cast<std::uint64_t>(::getpid()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(8, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    path = folder + "/.ratelog-copy-" + suffix + ".part";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Makes a rename in `folder` durable; a folder that cannot be synced
// (some file systems refuse) leaves the rename as the system keeps it.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  int Close() {
    const int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace

std::string SafePathPart(const std::string& part) {
  if (part.empty() || part == "." || part == "..") return "_";
  std::string safe = part;
  for (char& c : safe) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
  }
  return safe;
}

std::string ArchiveLeadingPart(const std::string& ident) { return SafePathPart(ident.substr(0, 14)); }

std::string ArchiveTrailingPart(const std::string& ident) {
  return SafePathPart(ident.size() > 15 ? ident.substr(15, 19) : std::string());
}

std::string ArchiveFolder(const std::string& serverFolder, const std::string& ident) {
  return serverFolder + "/" + ArchiveLeadingPart(ident) + "/" + ArchiveTrailingPart(ident);
}

std::string ArchiveFileName(double created, const std::string& name) {
  const LocalDateTime t = LocalFromOleDate(created);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d%02d%04d_%02d%02d_", t.day, t.month, t.year, t.hour, t.minute);
  return "create_" + std::string(stamp) + "_file_" + SafePathPart(name) + ".rtd";
}

std::string DefaultArchiveName(const std::string& recordingPath) {
  const std::size_t slash = recordingPath.rfind('/');
  std::string name = slash == std::string::npos ? recordingPath : recordingPath.substr(slash + 1);
  if (name.size() >= 4 && ::strcasecmp(name.c_str() + name.size() - 4, ".rtd") == 0)
    name.resize(name.size() - 4);
  return name;
}

std::string ArchiveTargetPath(const TArchiveJob& job) {
  return ArchiveFolder(job.ServerFolder, job.Ident) + "/" + ArchiveFileName(job.Created, job.Name);
}

TArchiveResult SaveToServer(const TArchiveJob& job, const TArchiveProgress& progress) {
  TArchiveResult result;
  const auto fail = [&result](const std::string& path, const std::string& reason) {
    result.Status = TArchiveStatus::Failed;
    result.Path = path;
    result.Reason = reason;
    return result;
  };
  if (job.ServerFolder.empty()) {
    result.Status = TArchiveStatus::NoServerFolder;
    result.Reason = "no server folder is set";
    return result;
  }
  result.Target = ArchiveTargetPath(job);

  TFd in(::open(job.Source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat source {};
  if (in.Get() < 0 || ::fstat(in.Get(), &source) != 0) return fail(job.Source, OsReason(errno));
  if (!S_ISREG(source.st_mode)) return fail(job.Source, "not a regular file");
  ::fcntl(in.Get(), F_SETFL, ::fcntl(in.Get(), F_GETFL) & ~O_NONBLOCK);

  // The folders must exist: name the first one that does not.
  const std::string leading = job.ServerFolder + "/" + ArchiveLeadingPart(job.Ident);
  for (const std::string& folder : {job.ServerFolder, leading, ArchiveFolder(job.ServerFolder, job.Ident)}) {
    const std::string problem = FolderProblem(folder);
    if (!problem.empty()) return fail(folder, problem);
  }
  // The target name is never opened: a link lying there would lead the
  // copy elsewhere. Only the name itself being the recording is refused.
  struct stat existing {};
  if (::lstat(result.Target.c_str(), &existing) == 0 && existing.st_dev == source.st_dev &&
      existing.st_ino == source.st_ino)
    return fail(result.Target, "this is the recording itself");

  // The copy is written under a new name of its own in the target folder
  // and takes the target name only when it is whole, so that an older copy
  // stays as it was until then.
  const std::string folder = ArchiveFolder(job.ServerFolder, job.Ident);
  std::string temporary;
  TFd out(CreateTemporary(folder, temporary));
  if (out.Get() < 0) return fail(result.Target, OsReason(errno));
  const auto failCopy = [&](const std::string& path, const std::string& reason) {
    out.Close();
    ::unlink(temporary.c_str());
    return fail(path, reason);
  };

  constexpr std::size_t kBuffer = 1 << 20;
  const std::unique_ptr<char[]> buffer(new char[kBuffer]);
  const std::int64_t size = source.st_size;
  std::int64_t copied = 0;
  int percent = -1;
  if (progress) progress(0);
  while (copied < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(size - copied, kBuffer));
    const ssize_t n = ::read(in.Get(), buffer.get(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failCopy(job.Source, OsReason(errno));
    if (n == 0) return failCopy(job.Source, "the file became shorter during the copy");
    const char* p = buffer.get();
    for (std::size_t left = static_cast<std::size_t>(n); left > 0;) {
      const ssize_t w = ::write(out.Get(), p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return failCopy(result.Target, OsReason(w < 0 ? errno : ENOSPC));
      p += w;
      left -= static_cast<std::size_t>(w);
    }
    copied += n;
    const int now = static_cast<int>(copied * 100 / size);
    if (now != percent && progress) progress(now);
    percent = now;
  }
  // The copy is complete only when it reached the disk at full length.
  struct stat target {};
  if (::fsync(out.Get()) != 0) return failCopy(result.Target, OsReason(errno));
  if (::fstat(out.Get(), &target) != 0) return failCopy(result.Target, OsReason(errno));
  if (target.st_size != size) return failCopy(result.Target, "the copy is incomplete");
  if (out.Close() != 0) return failCopy(result.Target, OsReason(errno));
  // rename() replaces the name, whatever lies there (a link included), in
  // one step: the target is either the older copy or the new one.
  if (::rename(temporary.c_str(), result.Target.c_str()) != 0) return failCopy(result.Target, OsReason(errno));
  SyncFolder(folder);
  return result;
}

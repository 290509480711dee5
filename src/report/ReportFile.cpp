#include "report/ReportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

namespace {

std::string NotRegular(mode_t mode) {
  if (S_ISDIR(mode)) return std::strerror(EISDIR);
  return std::string("not a regular file (") +
         (S_ISFIFO(mode)                     ? "a FIFO"
          : S_ISCHR(mode) || S_ISBLK(mode)   ? "a device"
          : S_ISSOCK(mode)                   ? "a socket"
                                             : "a special file") +
         ")";
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file of a name not yet taken beside `path`, created exclusively
// and without following a link; -1 with errno set when none can be made.
int CreateTemporary(const std::string& path, std::string& temporary) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device entropy;
  std::mt19937_64 random((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^
                         static_cast<std::uint64_t>(::getpid()));
  const std::string folder = FolderOf(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(10, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    temporary = folder + "/.ratelog-report-" + suffix + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

std::string ReportTargetProblem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return NotRegular(st.st_mode);
  return {};
}

bool WriteReportFile(const std::string& path, const char* data, std::size_t size, std::string& error) {
  const auto fail = [&](const std::string& reason) {
    error = path + ": " + reason;
    return false;
  };
  if (std::string problem = ReportTargetProblem(path); !problem.empty()) return fail(problem);
  std::string temporary;
  const int fd = CreateTemporary(path, temporary);
  if (fd < 0) return fail(std::strerror(errno));
  const auto discard = [&](int err) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail(std::strerror(err));
  };
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return discard(errno);
    if (n == 0) return discard(ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return discard(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    return fail(std::strerror(err));
  }
  // Looked at again just before the rename: what appeared at the name
  // meanwhile is not replaced unless it is a regular file.
  if (std::string problem = ReportTargetProblem(path); !problem.empty()) {
    ::unlink(temporary.c_str());
    return fail(problem);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    return fail(std::strerror(err));
  }
  const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

#include "files/RecordingReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace {

// A text field up to its first NUL, never past its width.
std::string TextField(const std::uint8_t* p, std::size_t width) {
  const void* nul = std::memchr(p, 0, width);
  const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : width;
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string OsReason(int err) { return std::strerror(err); }

}  // namespace

TRecordingReader::~TRecordingReader() { Close(); }

void TRecordingReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pos_ = end_ = 0;
  remaining_ = 0;
}

bool TRecordingReader::Open(const std::string& path) {
  Close();
  info_ = TRecordingInfo{};
  error_.clear();
  recordsRead_ = 0;
  exists_ = false;

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error_ = path + ": " + OsReason(errno);
    return false;
  }
  exists_ = true;
  // Only a regular file is a recording: a FIFO or a device would block the
  // reader forever. O_NONBLOCK keeps the open itself from waiting on a FIFO
  // that appeared after the stat; the type is checked again on the open file.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) {
    error_ = path + ": " + OsReason(errno);
    return false;
  }
  if (::fstat(fd_, &st) != 0) {
    error_ = path + ": " + OsReason(errno);
    Close();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = path + ": " + (S_ISDIR(st.st_mode) ? OsReason(EISDIR) : std::string("not a regular file"));
    Close();
    return false;
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  info_.FileSize = st.st_size;

  // The first 760 bytes (fewer for a short file; the rest stays zero).
  std::size_t got = 0;
  while (got < info_.Header.size()) {
    const ssize_t n = ::pread(fd_, info_.Header.data() + got, info_.Header.size() - got,
                              static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = path + ": " + OsReason(errno);
      Close();
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }

  const std::uint8_t* h = info_.Header.data();
  if (rtd::IsCurrentLayout(h)) {
    info_.FormatVersion = rtd::FormatCurrent;
    info_.HeaderLength = rtd::HeaderSize;
    std::memcpy(&info_.SampleValue, h + rtd::SampleOffset, sizeof(float));
    info_.Ident = TextField(h + rtd::IdentOffset, rtd::IdentWidth);
    std::memcpy(&info_.Created, h + rtd::CreatedOffset, sizeof(double));
    info_.CompName = TextField(h + rtd::CompNameOffset, rtd::CompNameWidth);
    info_.UserName = TextField(h + rtd::UserNameOffset, rtd::UserNameWidth);
  } else {
    info_.FormatVersion = rtd::FormatHeaderless;
    info_.HeaderLength = rtd::OldHeaderSize;
    std::memcpy(&info_.SampleValue, h, sizeof(float));
    info_.Ident = "VRDT40-000.000-00000";
  }

  // The sample value becomes an integer setting: a value that is not a
  // number or does not fit (from -2^31 to just below 2^31) makes the file
  // unreadable.
  const float sv = info_.SampleValue;
  if (!(sv >= -2147483648.0f && sv < 2147483648.0f)) {
    error_ = path + ": the sample value in the file is not a valid number";
    Close();
    return false;
  }
  info_.Sample = static_cast<std::int32_t>(sv);

  info_.DataLength = info_.FileSize - info_.HeaderLength;
  info_.RecordCount = info_.DataLength > 0 ? info_.DataLength / static_cast<std::int64_t>(rtd::RecordSize) : 0;
  remaining_ = info_.RecordCount * static_cast<std::int64_t>(rtd::RecordSize);
  if (remaining_ > 0 && ::lseek(fd_, info_.HeaderLength, SEEK_SET) < 0) {
    error_ = path + ": " + OsReason(errno);
    Close();
    return false;
  }
  return true;
}

bool TRecordingReader::Fill() {
  pos_ = end_ = 0;
  if (fd_ < 0 || remaining_ <= 0) return false;
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(sizeof buffer_)));
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd_, buffer_ + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = "read error: " + OsReason(errno);
      remaining_ = 0;
      break;
    }
    if (n == 0) {  // the file shrank after its size was taken
      remaining_ = 0;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  const std::size_t whole = got - got % rtd::RecordSize;
  if (remaining_ > 0) remaining_ -= static_cast<std::int64_t>(got);
  if (got % rtd::RecordSize) remaining_ = 0;  // a torn record only at the end
  end_ = whole;
  recordsRead_ += static_cast<std::int64_t>(whole / rtd::RecordSize);
  return end_ > 0;
}

bool TRecordingReader::ReadRecordAt(std::int64_t index, SamplePoint& record) const {
  if (fd_ < 0 || index < 0 || index >= info_.RecordCount) return false;
  const off_t at = static_cast<off_t>(info_.HeaderLength + index * static_cast<std::int64_t>(rtd::RecordSize));
  ssize_t n;
  do {
    n = ::pread(fd_, &record, sizeof record, at);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof record);
}

bool TRecordingReader::ReadInfo(const std::string& path, TRecordingInfo& info, std::string& error) {
  TRecordingReader reader;
  const bool ok = reader.Open(path);
  info = reader.info_;
  error = reader.error_;
  return ok;
}

bool RecordTimeRange(const std::string& path, double& smallest, double& largest, std::string& error) {
  smallest = largest = 0;
  TRecordingReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  float low = 0, high = 0;
  bool any = false;
  SamplePoint p{};
  while (reader.Next(p)) {
    if (std::isnan(p.Time)) continue;
    low = any ? std::min(low, p.Time) : p.Time;
    high = any ? std::max(high, p.Time) : p.Time;
    any = true;
  }
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  smallest = low;
  largest = high;
  return true;
}

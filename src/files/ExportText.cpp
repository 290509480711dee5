#include "files/ExportText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "files/OleDate.h"
#include "files/RecordingReader.h"

namespace {

constexpr std::uint64_t kPow10[] = {1,         10,         100,         1000,       10000,
                                    100000,    1000000,    10000000,    100000000,  1000000000};

// The exact value m * 2^e (m < 2^24) times 10^decimals, rounded to an
// integer with ties to even, as the C library rounds in its default mode.
// False when the value is too large for 64 bits (left to the slow path).
bool ScaledInteger(std::uint64_t m, int e, int decimals, std::uint64_t& q) {
  const std::uint64_t n = m * kPow10[decimals];  // < 2^54
  if (e >= 0) {
    if (e > 9) return false;
    q = n << e;
    return true;
  }
  const int s = -e;
  if (s >= 64) {  // below 2^-10: rounds to 0
    q = 0;
    return true;
  }
  q = n >> s;
  const std::uint64_t rem = n & ((std::uint64_t{1} << s) - 1);
  const std::uint64_t half = std::uint64_t{1} << (s - 1);
  if (rem > half || (rem == half && (q & 1))) ++q;
  return true;
}

char* PutText(char* out, const char* text) {
  const std::size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return out + n;
}

const char kRule[] = "----------------------------------------------------------\n";  // 58

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && ::strncasecmp(s.c_str() + s.size() - n, suffix, n) == 0;
}

std::string OsReason(int err) { return std::strerror(err); }

// An existing file that must not be replaced by an export: the recording
// itself (also through a link) or any recording file.
bool IsRecordingFile(const std::string& path, const struct stat& source) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) return true;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real && EndsWithNoCase(real.get(), ".rtd");
}

// One output file with a large buffer; every failure is kept with its path
// and reason.
class TOutput {
 public:
  explicit TOutput(TExportResult& result) : result_(result), buffer_(new char[kSize]) {}
  ~TOutput() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Only a regular file (new or replaced) takes an export: a FIFO would
  // block the export until someone reads it, a device is not a file to
  // keep. The name is looked at before it is opened; the open itself never
  // waits and never takes a terminal, and what it opened is checked again.
  bool Create(const std::string& path) {
    path_ = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return Fail(NotRegular(st.st_mode));
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd_ < 0) return Fail(errno);
    const std::string problem = ::fstat(fd_, &st) != 0 ? OsReason(errno)
                                : !S_ISREG(st.st_mode)   ? NotRegular(st.st_mode)
                                : ::ftruncate(fd_, 0) != 0 ? OsReason(errno)
                                                           : std::string();
    if (!problem.empty()) {
      ::close(fd_);
      fd_ = -1;
      return Fail(problem);
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    result_.Files.push_back(path);
    return true;
  }
  // Room for one more line (at most kLine bytes) after this.
  bool Reserve() { return used_ + kLine <= kSize || Flush(); }
  char* At() { return buffer_.get() + used_; }
  void Advance(char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }
  bool Append(const std::string& text) {
    if (used_ + text.size() > kSize && !Flush()) return false;
    if (text.size() > kSize) return WriteAll(text.data(), text.size());
    std::memcpy(buffer_.get() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }
  bool Flush() {
    const bool ok = WriteAll(buffer_.get(), used_);
    used_ = 0;
    return ok;
  }
  bool Close() {
    if (fd_ < 0) return true;
    bool ok = Flush();
    if (::close(fd_) != 0 && ok) ok = Fail(errno);
    fd_ = -1;
    return ok;
  }

 private:
  static constexpr std::size_t kSize = 1 << 20;
  static constexpr std::size_t kLine = 256;  // three fields of the largest floats

  bool WriteAll(const char* p, std::size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return Fail(errno);
      if (w == 0) return Fail(ENOSPC);
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }
  static std::string NotRegular(mode_t mode) {
    if (S_ISDIR(mode)) return OsReason(EISDIR);
    return std::string("not a regular file (") +
           (S_ISFIFO(mode) ? "a FIFO" : S_ISCHR(mode) || S_ISBLK(mode) ? "a device" : S_ISSOCK(mode) ? "a socket" : "a special file") +
           ")";
  }
  bool Fail(int err) { return Fail(OsReason(err)); }
  bool Fail(const std::string& reason) {
    if (result_.Status == TExportStatus::Complied || result_.Status == TExportStatus::BadRecording) {
      result_.Status = TExportStatus::OutputFailed;
      result_.Path = path_;
      result_.Reason = reason;
    }
    return false;
  }

  TExportResult& result_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  int fd_ = -1;
  std::string path_;
};

}  // namespace

char* WriteFixedField(char* out, float value, int width, int decimals) {
  char* const start = out;
  decimals = std::clamp(decimals, 0, 9);
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 31) != 0;
  const std::uint32_t exponent = (bits >> 23) & 0xFF;
  const std::uint32_t mantissa = bits & 0x7FFFFF;
  std::uint64_t q = 0;
  if (exponent == 0xFF) {
    out = PutText(out, mantissa ? "NAN" : negative ? "-INF" : "INF");
  } else if (ScaledInteger(exponent ? (mantissa | 0x800000u) : mantissa,
                           exponent ? static_cast<int>(exponent) - 150 : -149, decimals, q)) {
    if (negative) *out++ = '-';
    out = std::to_chars(out, out + 24, q / kPow10[decimals]).ptr;
    if (decimals > 0) {
      *out++ = '.';
      std::uint64_t frac = q % kPow10[decimals];
      for (int i = decimals - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + frac % 10);
        frac /= 10;
      }
      out += decimals;
    }
  } else {
    // Large values: the library's exact conversion (same digits as printf).
    out = std::to_chars(out, out + 60, static_cast<double>(value), std::chars_format::fixed, decimals).ptr;
  }
  while (out - start < width) *out++ = ' ';
  return out;
}

std::string ExportHeaderText(const std::string& sourceName, double now, std::int32_t sample,
                             int formatVersion, double created, bool rate, bool temperature) {
  std::string text;
  text += "Source file: " + sourceName + "\n";
  text += "Time create: " + FormatDdMmYyyyHhNn(now) + "\n";
  text += "Sample: " + std::to_string(sample) + " \xC3\xF6\n";  // "Гц" in Windows-1251
  if (formatVersion == 6) text += "Source file create: " + FormatDdMmYyyyHhNn(created) + " \n";
  text += kRule;
  text += "Time, sec | ";
  if (rate) text += "Rate, \xB0/sec | ";  // degree sign in Windows-1251
  if (temperature) text += "Temperature, \xB0" "C | ";
  text += "\n";
  text += kRule;
  return text;
}

std::string ExportBaseFromChosen(const std::string& chosen) {
  return EndsWithNoCase(chosen, ".txt") ? chosen.substr(0, chosen.size() - 4) : chosen;
}

std::string ExportBaseFromRecording(const std::string& recording) {
  return EndsWithNoCase(recording, ".rtd") ? recording.substr(0, recording.size() - 4) : recording;
}

std::string ExportPartName(const std::string& base, int part) {
  return part == 0 ? base + ".txt" : base + "_" + std::to_string(part) + ".txt";
}

TExportResult RunTextExport(const TExportJob& job, const TExportProgress& progress) {
  TExportResult result;
  TRecordingReader reader;
  if (!reader.Open(job.SourceName)) {
    result.Status = reader.Exists() ? TExportStatus::SourceUnreadable : TExportStatus::SourceMissing;
    result.Path = job.SourceName;
    result.Reason = reader.Error();
    return result;
  }
  struct stat source {};
  if (::stat(job.SourceName.c_str(), &source) != 0) {
    result.Status = TExportStatus::SourceUnreadable;
    result.Path = job.SourceName;
    result.Reason = OsReason(errno);
    return result;
  }

  const std::string header = ExportHeaderText(job.SourceName, job.Now, job.Sample, job.FormatVersion,
                                              reader.Info().Created, job.Rate, job.Temperature);
  TOutput output(result);
  int part = 0;
  const auto openPart = [&]() {
    const std::string name = ExportPartName(job.BaseName, part);
    if (IsRecordingFile(name, source)) {
      result.Status = TExportStatus::OutputIsRecording;
      result.Path = name;
      return false;
    }
    return output.Create(name) && output.Append(header);
  };
  if (!openPart()) return result;

  const std::int64_t total = reader.Info().RecordCount;
  const std::int64_t step = total / 100;
  std::int64_t untilProgress = step;
  std::int64_t lineCount = 0;
  // Times are stored in single precision: the bounds are compared at that
  // precision, so that a bound typed as 12.3 takes the record at 12.3.
  const float begin = static_cast<float>(job.BeginTime);
  const float end = static_cast<float>(job.EndTime);
  SamplePoint record{};
  bool ok = true;
  while (reader.Next(record)) {
    if (step != 0 && --untilProgress == 0) {
      untilProgress = step;
      if (progress) progress(reader.RecordsRead(), total);
    }
    if (std::isnan(record.Time)) {
      result.Status = TExportStatus::BadRecording;
      break;
    }
    if (record.Time < begin) continue;
    if (record.Time > end) break;
    if (job.Excel && lineCount == ExportLinesPerFile) {
      ++part;
      lineCount = 0;
      if (!output.Close() || !openPart()) {
        ok = false;
        break;
      }
    }
    if (!output.Reserve()) {
      ok = false;
      break;
    }
    char* p = output.At();
    p = WriteFixedField(p, record.Time, 15, 4);
    *p++ = ';';
    if (job.Rate) {
      p = WriteFixedField(p, record.Rate, 20, 7);
      *p++ = ';';
    }
    if (job.Temperature) {
      p = WriteFixedField(p, record.Temperature, 20, 6);
      *p++ = ';';
    }
    *p++ = '\n';
    output.Advance(p);
    ++lineCount;
    ++result.Lines;
  }
  if (!output.Close()) ok = false;
  if (ok && !reader.Error().empty() && result.Status == TExportStatus::Complied) {
    result.Status = TExportStatus::SourceUnreadable;
    result.Path = job.SourceName;
    result.Reason = reader.Error();
  }
  return result;
}

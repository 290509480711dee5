// Temporary folders, whole-file reads and writes, and recording files built
// byte by byte, for the tests of every folder.
#pragma once

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "processing/Average.h"

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under /tmp, removed with everything in it at the end.
class TTempDir {
 public:
  TTempDir() {
    char name[] = "/tmp/ratelog-test-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
  }
  ~TTempDir() {
    if (!path_.empty()) [[maybe_unused]] int rc = std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// An environment variable set for a scope, then as it was.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    ::setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() { had_ ? ::setenv(name_, old_.c_str(), 1) : ::unsetenv(name_); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// The names in `folder` but "." and "..", sorted.
inline std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (const std::string n = e->d_name; n != "." && n != "..") names.push_back(n);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A Unix socket bound at `path`: a name no file can be read from or
// written to. Its descriptor, or -1.
inline int BoundSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string& path) {
  const Bytes b = ReadBytes(path);
  return {b.begin(), b.end()};
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Stores v little-endian at byte `at`, growing the buffer as needed.
template <typename T>
void PutAt(Bytes& b, std::size_t at, T v) {
  if (b.size() < at + sizeof v) b.resize(at + sizeof v);
  std::memcpy(b.data() + at, &v, sizeof v);
}

// A 760-byte recording header: identification, version marker, sample
// value, creation time (5 December 2026 10:30 by default), names.
inline Bytes RecordingHeader(float sample, const char* ident = "VRDT40-123.456-00042",
                             double created = 46361.4375, const char* comp = "benchpc",
                             const char* user = "anna") {
  Bytes b(760, 0);
  std::memcpy(b.data(), ident, std::strlen(ident));
  PutAt<std::uint32_t>(b, 28, 24611);
  PutAt(b, 32, sample);
  PutAt(b, 40, created);
  std::memcpy(b.data() + 48, comp, std::strlen(comp));
  std::memcpy(b.data() + 303, user, std::strlen(user));
  return b;
}

// The older layout: the sample value, then records.
inline Bytes HeaderlessRecording(float sample) {
  Bytes b;
  PutAt(b, 0, sample);
  return b;
}

inline void AddRecord(Bytes& b, float time, float rate, float temperature) {
  const std::size_t at = b.size();
  PutAt(b, at, SamplePoint{time, rate, temperature});
}

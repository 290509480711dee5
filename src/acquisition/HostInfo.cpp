#include "acquisition/HostInfo.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
constexpr std::size_t MaxName = 254;

std::string Clip(std::string s) {
  if (s.size() > MaxName) s.resize(MaxName);
  return s;
}
}  // namespace

std::string ComputerName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return Clip(std::string(buf, strnlen(buf, sizeof buf)));
}

std::string UserName() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
      found->pw_name && found->pw_name[0]) {
    return Clip(found->pw_name);
  }
  const char* env = std::getenv("USER");
  return env ? Clip(env) : std::string();
}

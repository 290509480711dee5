// A full disk, imitated: one of the built programs run as a child process
// whose files cannot grow past a limit. The child gets the limit and the
// default action of SIGXFSZ, as a shell would start it; whatever the program
// does about the signal, it does itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

struct TProgramRun {
  bool Exited = false;  // ended by exit(): Code holds the exit code
  int Code = -1;
  int Signal = 0;       // else the signal that ended it
  std::string Out, Err;
};

// The path of a program of this build ("ratelog-cli", "ratelog").
inline std::string BuiltProgram(const std::string& name) { return RATELOG_BINARY_DIR "/bin/" + name; }

// Runs `program` with `args` and the extra environment `env` ("NAME=value"),
// its files limited to `bytes` (`env` wins over the inherited environment). `watch` (may be empty) is called about every
// 10 ms while the child runs, with its process id; it may end the child.
inline TProgramRun RunWithFileSizeLimit(rlim_t bytes, const std::string& program,
                                        const std::vector<std::string>& args,
                                        const std::vector<std::string>& env = {},
                                        const std::function<void(pid_t)>& watch = {}) {
  TProgramRun run;
  // Everything the child needs is built before the fork.
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e; ++e) envp.push_back(*e);  // the first of a name counts
  envp.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::signal(SIGXFSZ, SIG_DFL);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(99);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(98);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return run;
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&run.Out, &run.Err};
  for (int open = 2; open > 0;) {
    if (::poll(fds, 2, 10) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !fds[i].revents) continue;
        char buf[4096];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          texts[i]->append(buf, static_cast<std::size_t>(n));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
    if (watch && open > 0) watch(pid);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return run;
  run.Exited = WIFEXITED(status);
  run.Code = run.Exited ? WEXITSTATUS(status) : -1;
  run.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return run;
}

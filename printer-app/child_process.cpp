//
// Child processes for jobs: the filter and Ghostscript.
//

#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace tamsel {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
  if (this != &other)
    reset(other.release());
  return (*this);
}

int UniqueFd::release()
{
  int fd = fd_;

  fd_ = -1;
  return (fd);
}

void UniqueFd::reset(int fd)
{
  if (fd_ >= 0)
    close(fd_);
  fd_ = fd;
}

bool MakePipe(UniqueFd *read_end, UniqueFd *write_end)
{
  int fds[2];

  // Close-on-exec: a child started for another job at the same moment must
  // not inherit this pipe and keep it open.
  if (pipe2(fds, O_CLOEXEC))
    return (false);
  read_end->reset(fds[0]);
  write_end->reset(fds[1]);
  return (true);
}

ChildProcess::~ChildProcess()
{
  Stop(2.0);
}

int ChildProcess::Start(const std::string &path, const std::vector<std::string> &argv,
                        const std::vector<std::string> &env, int in, int out, int err)
{
  std::vector<char *>	args, envp;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t	attrs;
  sigset_t		defaults;
  int			fds[3] = { in, out, err };

  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string &e : env)
    envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; i ++)
  {
    if (fds[i] >= 0)
      posix_spawn_file_actions_adddup2(&actions, fds[i], i);
    else
      posix_spawn_file_actions_addopen(&actions, i, "/dev/null", i ? O_WRONLY : O_RDONLY, 0);
  }
  // Nothing else of the server's: other jobs' files and PAPPL's own pipes.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // The server ignores SIGPIPE; the children get the defaults back.
  posix_spawnattr_init(&attrs);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attrs, &defaults);
  sigemptyset(&defaults);
  posix_spawnattr_setsigmask(&attrs, &defaults);
  posix_spawnattr_setflags(&attrs, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  int result = posix_spawn(&pid_, path.c_str(), &actions, &attrs, args.data(), envp.data());

  posix_spawnattr_destroy(&attrs);
  posix_spawn_file_actions_destroy(&actions);
  if (result)
    pid_ = -1;
  return (result);
}

void ChildProcess::Signal(int sig)
{
  if (pid_ > 0)
    kill(pid_, sig);
}

bool ChildProcess::Wait(double timeout)
{
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);

  while (pid_ > 0)
  {
    pid_t done = waitpid(pid_, &status_, WNOHANG);

    if (done == pid_ || (done < 0 && errno != EINTR))
    {
      pid_ = -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return (false);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return (true);
}

void ChildProcess::Stop(double grace)
{
  if (pid_ <= 0)
    return;
  Signal(SIGTERM);
  if (!Wait(grace))
  {
    Signal(SIGKILL);
    Wait(60.0);
  }
}

std::string ChildProcess::Describe() const
{
  if (WIFEXITED(status_))
    return ("exited with status " + std::to_string(WEXITSTATUS(status_)));
  if (WIFSIGNALED(status_))
    return ("was stopped by signal " + std::to_string(WTERMSIG(status_)) + " (" +
            strsignal(WTERMSIG(status_)) + ")");
  return ("ended with wait status " + std::to_string(status_));
}

}  // namespace tamsel

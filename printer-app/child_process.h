//
// A child process the server owns: started with exactly the descriptors
// and environment it is given, and never outliving its owner.  The
// destructor asks it to stop (SIGTERM), gives it a moment to close its
// page, then kills and reaps it.
//

#ifndef TAMSEL_PRINTER_APP_CHILD_PROCESS_H
#define TAMSEL_PRINTER_APP_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tamsel {

// A file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept;
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A close-on-exec pipe; false with errno set on failure.
bool MakePipe(UniqueFd *read_end, UniqueFd *write_end);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;
  ~ChildProcess();

  // Runs path with argv and nothing but env; in, out and err become its
  // standard input, output and error (-1: /dev/null), every other
  // descriptor is closed.  Returns 0 or an errno value.
  int Start(const std::string &path, const std::vector<std::string> &argv,
            const std::vector<std::string> &env, int in, int out, int err);

  pid_t pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }
  void Signal(int sig);

  // Waits up to timeout seconds; true once the child is reaped.
  bool Wait(double timeout);

  // SIGTERM, up to grace seconds, then SIGKILL; reaps the child.
  void Stop(double grace);

  // The wait status once reaped.
  int status() const { return status_; }

  // "exited with status 1", "was killed by signal 9", for job messages.
  std::string Describe() const;

 private:
  pid_t	pid_ = -1;
  int	status_ = 0;
};

}  // namespace tamsel

#endif  // TAMSEL_PRINTER_APP_CHILD_PROCESS_H

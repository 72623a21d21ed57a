// SPDX-License-Identifier: MIT
// Programs started by the tests: one way to start them, wait for a sign
// that they are ready, and end them.
#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// In the child: only calls that are safe after fork, then exec.
[[noreturn]] static void BecomeProgram(const Launch &launch) {
  if (launch.out_fd >= 0) {
    dup2(launch.out_fd, 1);
    dup2(launch.out_fd, 2);
  }
  if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0) _exit(126);
  for (const std::string &assignment : launch.env)
    putenv(strdup(assignment.c_str()));
  if (launch.as_nobody && getuid() == 0 &&
      (setgroups(0, NULL) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
    _exit(126);
  // Set after the change of user, which clears it.
  if (launch.tied) prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::vector<char *> args;
  for (const std::string &arg : launch.argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

pid_t StartProcess(const Launch &launch) {
  pid_t pid = fork();
  if (pid == 0) BecomeProgram(launch);
  return pid;
}

int ExitStatus(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

Awaited AwaitReady(pid_t pid, const std::function<bool()> &ready, int timeout_ms, int *status) {
  for (int waited = 0;; waited += 5) {
    if (ready()) return Awaited::kReady;
    int wait_status = 0;
    if (waitpid(pid, &wait_status, WNOHANG) == pid) {
      if (status != nullptr) *status = ExitStatus(wait_status);
      return Awaited::kEnded;
    }
    if (waited >= timeout_ms) return Awaited::kTimedOut;
    usleep(5000);
  }
}

int StopProcess(pid_t pid, int signal_number, int timeout_ms) {
  // kill(-1) would reach every process the test may signal.
  if (pid <= 0) return -1;
  kill(pid, signal_number);
  int wait_status = 0;
  for (int waited = 0; waitpid(pid, &wait_status, WNOHANG) == 0; waited += 5) {
    if (waited >= timeout_ms) {
      kill(pid, SIGKILL);
      waitpid(pid, &wait_status, 0);
      break;
    }
    usleep(5000);
  }
  return ExitStatus(wait_status);
}

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &cwd,
                         int timeout_ms, const std::vector<std::string> &extra_env,
                         const std::function<bool()> &ready) {
  ProcessResult result{-1, ""};
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  Launch launch;
  launch.argv = argv;
  launch.cwd = cwd;
  launch.env = extra_env;
  launch.out_fd = pipe_fds[1];
  launch.tied = false;
  pid_t pid = StartProcess(launch);
  close(pipe_fds[1]);
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  char buffer[4096];
  auto drain = [&] {
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof(buffer))) > 0)
      result.out.append(buffer, got);
  };
  // Killed once ready, as when its time is up: it was still running.
  auto done = [&] {
    drain();
    return ready && ready();
  };
  int status = -1;
  if (pid > 0 && AwaitReady(pid, done, timeout_ms, &status) != Awaited::kEnded)
    status = StopProcess(pid, SIGKILL, timeout_ms);
  drain();
  close(pipe_fds[0]);
  result.status = status;
  return result;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, (struct sockaddr *)&address, sizeof(address)) == 0 &&
      getsockname(fd, (struct sockaddr *)&address, &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

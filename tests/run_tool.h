// Runs a command with given standard input and captures what it printed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "test_grids.h"

struct tool_result {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

// Runs argv[0] (a path) in `dir` with `input` on a pipe as standard input,
// in this process's environment plus `env` (NAME=value settings).
inline tool_result run_tool(const std::string& dir, const std::vector<std::string>& args,
                            const std::string& input, const std::vector<std::string>& env = {}) {
  const std::string out_path = dir + "/.stdout";
  const std::string err_path = dir + "/.stderr";
  int in_pipe[2];
  if (pipe(in_pipe) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
  posix_spawn_file_actions_addclose(&fa, in_pipe[1]);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child runs in `dir` so that relative names in a case stay inside it.
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  std::vector<std::string> args_copy = args;
  std::vector<char*> argv;
  for (auto& a : args_copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_copy = env;
  std::vector<char*> envp;  // the settings first: getenv takes the first of a name
  for (auto& e : env_copy) envp.push_back(e.data());
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  // A tool that exits without reading its input must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in_pipe[0]);
  if (rc != 0) {
    close(in_pipe[1]);
    return {};
  }
  std::thread feeder([&] {
    size_t off = 0;
    while (off < input.size()) {
      const ssize_t n = write(in_pipe[1], input.data() + off, input.size() - off);
      if (n <= 0) break;  // the tool stopped reading
      off += static_cast<size_t>(n);
    }
    close(in_pipe[1]);
  });
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  feeder.join();
  tool_result r;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return r;
}

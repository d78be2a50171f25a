// tavrind started as a user or an administrator starts it: in the
// background it leaves the terminal that started it (its log goes to
// syslog), and as root it gives its socket to the group tavrin, or says that
// the group is missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct ServiceRun {
  int status = -1;
  std::string err;  // everything written to standard error, to its end
  bool ended = false;
};

// Starts tavrind with `arguments`, its standard error on a pipe, waits for
// it (or, when it goes to the background, for the process that returns) and
// reads that pipe until every writer has closed it or ten seconds passed.
ServiceRun RunService(const std::vector<std::string> &arguments) {
  std::vector<std::string> argv = {TAVRIND_PROGRAM};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ServiceRun run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pollfd readable{fds[0], POLLIN, 0};
  while (poll(&readable, 1, 10000) == 1) {
    char buffer[512];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) {
      run.ended = true;
      break;
    }
    run.err.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  return run;
}

// The background service's pid, as the process that started it said.
pid_t BackgroundPid(const std::string &err) {
  const std::string mark = "(pid ";
  std::size_t at = err.find(mark);
  return at == std::string::npos ? -1 : static_cast<pid_t>(std::atoi(err.c_str() + at + mark.size()));
}

class DaemonTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrind-daemon-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    socket_ = directory_ + "/kernel.sock";
  }
  void TearDown() override {
    unlink(socket_.c_str());
    rmdir(directory_.c_str());
  }
  std::string directory_;
  std::string socket_;
};

TEST_F(DaemonTest, InTheBackgroundItLeavesTheTerminalThatStartedIt) {
  ServiceRun run = RunService({"--socket", socket_, "--simulate", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  pid_t service = BackgroundPid(run.err);
  ASSERT_GT(service, 0) << run.err;
  kill(service, SIGTERM);
  EXPECT_TRUE(run.ended) << "the background service kept the terminal's standard error open";
  EXPECT_EQ(run.err.find("serving"), std::string::npos) << run.err;
}

TEST_F(DaemonTest, AsRootItGivesItsSocketToGroupTavrinOrSaysTheGroupIsMissing) {
  if (geteuid() != 0) GTEST_SKIP() << "the system service's socket needs root";
  // In the foreground, its log in a file.
  std::vector<std::string> argv = {TAVRIND_PROGRAM, "--socket", socket_, "--simulate", "0", "--foreground"};
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::string log = directory_ + "/log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Its socket is ready once it says it serves.
  auto logText = [&log] {
    std::string text;
    if (FILE *file = std::fopen(log.c_str(), "r")) {
      for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
      std::fclose(file);
    }
    return text;
  };
  for (int i = 0; i < 1000 && logText().find("serving") == std::string::npos; ++i) usleep(10000);
  struct stat socketStat {};
  const group *tavrin = getgrnam("tavrin");
  int found = stat(socket_.c_str(), &socketStat);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::string text = logText();
  unlink(log.c_str());
  ASSERT_EQ(found, 0) << text;
  EXPECT_EQ(socketStat.st_mode & 0777, 0660u);
  if (tavrin != nullptr) {
    EXPECT_EQ(socketStat.st_gid, tavrin->gr_gid);
  } else {
    EXPECT_NE(text.find("group tavrin does not exist"), std::string::npos) << text;
  }
}

}  // namespace

// tavrind run as a process on a throw-away socket with two simulated
// instruments, and programs run as processes against it: the tavrin command
// line and a test client over the library, plus raw connections that break
// the protocol. The service's census (open handles per instrument) is read
// over the protocol itself.
#include <frame_stream.h>
#include <raw_client.h>
#include <shared_ring.h>
#include <wire_protocol.h>

#include <gtest/gtest.h>
#include <tavrin_ioctl.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

namespace wire = service::wire;
using raw_client::Connect;
using raw_client::StartReadFlood;
using namespace std::chrono_literals;

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's standard output
};

// Starts `argv` with TAVRIN_SERVICE naming the service's socket and without
// TAVRIN_SIMULATE, its standard output on a pipe.
Child Start(const std::vector<std::string> &argv, const std::string &socket, const std::string &errorFile = "",
            const std::vector<std::string> &extraEnvironment = {}, const std::string &input = "") {
  std::vector<std::string> environment = extraEnvironment;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("TAVRIN_SERVICE=", 0) != 0 && entry.rfind("TAVRIN_SIMULATE=", 0) != 0) environment.push_back(entry);
  }
  if (!socket.empty()) environment.push_back("TAVRIN_SERVICE=" + socket);
  std::vector<char *> envp, args;
  for (auto &e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = argv;
  for (auto &a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  int pipeFds[2];
  EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  // Standard input: the given text, or nothing.
  int inputFds[2];
  EXPECT_EQ(pipe2(inputFds, O_CLOEXEC), 0);
  posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
  if (!errorFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  }
  Child child;
  EXPECT_EQ(posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data()), 0) << args[0];
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  close(inputFds[0]);
  if (!input.empty()) {
    EXPECT_EQ(write(inputFds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  }
  close(inputFds[1]);
  child.out = pipeFds[0];
  return child;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

struct Finished {
  int status = -1;
  std::string out;
};

Finished Wait(Child child) {
  Finished finished;
  char buffer[4096];
  ssize_t n;
  while ((n = read(child.out, buffer, sizeof buffer)) > 0) finished.out.append(buffer, static_cast<std::size_t>(n));
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return finished;
}

// Runs a program to its end, `input` on its standard input.
Finished RunToEnd(const std::vector<std::string> &argv, const std::string &socket, const std::string &input = "") {
  return Wait(Start(argv, socket, "", {}, input));
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrind-test-XXXXXX";
    directory_ = mkdtemp(pattern);
    socket_ = directory_ + "/kernel.sock";
    log_ = directory_ + "/tavrind.log";
    std::vector<std::string> arguments = {TAVRIND_PROGRAM, "--socket", socket_, "--simulate", "2", "--foreground"};
    for (const std::string &argument : ServiceArguments()) arguments.push_back(argument);
    service_ = Start(arguments, "", log_);
    // Up once both instruments are published.
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms)) {
      if (Census().size() == 2) return;
    }
    FAIL() << "the service did not come up:\n" << Log();
  }

  // More of the service's options, for tests of its limits.
  virtual std::vector<std::string> ServiceArguments() const { return {}; }

  void TearDown() override {
    if (service_.pid > 0) {
      kill(service_.pid, SIGTERM);
      Finished stopped = Wait(service_);
      EXPECT_EQ(stopped.status, 0) << Log();
    }
    EXPECT_NE(Log().find("tavrind: stopped"), std::string::npos) << Log();
    struct stat st {};
    EXPECT_NE(stat(socket_.c_str(), &st), 0) << "the socket outlived the service";
    std::system(("rm -rf " + directory_).c_str());
  }

  // Sends SIGTERM and returns how long the service took to exit and its
  // status, or nullopt when it was still there after 10 s.
  std::optional<std::pair<std::chrono::milliseconds, int>> StopService() {
    auto start = std::chrono::steady_clock::now();
    kill(service_.pid, SIGTERM);
    for (auto end = start + 10s; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(5ms)) {
      int status = 0;
      if (waitpid(service_.pid, &status, WNOHANG) == service_.pid) {
        close(service_.out);
        service_.pid = -1;
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return std::make_pair(took, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      }
    }
    return std::nullopt;
  }

  std::string Log() const {
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // Open handles per instrument, as the service counts them.
  std::map<std::string, std::uint32_t> Census() {
    std::map<std::string, std::uint32_t> handles;
    int fd = Connect(socket_);
    if (fd < 0) return handles;
    wire::SendAll(fd, wire::Encode(wire::Hello{}, 1));
    wire::SendAll(fd, wire::Encode(wire::Census{}, 2));
    wire::FrameReader reader(fd);
    wire::Frame frame;
    std::string error;
    while (reader.Next(&frame, &error) == wire::FrameReader::Result::Frame) {
      if (auto *census = std::get_if<wire::CensusReply>(&frame.message)) {
        for (const auto &entry : census->instruments) handles[entry.name] = entry.openHandles;
        break;
      }
    }
    close(fd);
    return handles;
  }

  bool WaitForHandles(const std::string &name, std::uint32_t count) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      if (Census()[name] == count) return true;
    }
    return false;
  }

  bool WaitForLog(const std::string &text) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      if (Log().find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::string directory_, socket_, log_;
  Child service_;
};

TEST_F(ServiceTest, TwoProgramsShareAnInstrumentAndTheCommandLineShowsTheService) {
  struct stat st {};
  ASSERT_EQ(stat(socket_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, geteuid() == 0 ? 0660u : 0600u);

  Finished write = RunToEnd({TAVRIN_PROGRAM, "write", "TAVRIN-0", "ECHO shared"}, socket_);
  ASSERT_EQ(write.status, 0);
  Finished query = RunToEnd({TAVRIN_PROGRAM, "read", "TAVRIN-0", "interrogative"}, socket_);
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.out, "shared\n");

  Finished list = RunToEnd({TAVRIN_PROGRAM, "list"}, socket_);
  EXPECT_EQ(list.out, "TAVRIN-0\nTAVRIN-1\n");
  Finished info = RunToEnd({TAVRIN_PROGRAM, "--json", "info", "TAVRIN-1"}, socket_);
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("\"backend\":\"service\""), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"socket\":\"" + socket_ + "\""), std::string::npos) << info.out;
  // Forced embedded, the same program boots its own kernel, which has no
  // instruments unless asked for (and no real ones here).
  Finished embedded =
      RunToEnd({"/usr/bin/env", "TAVRIN_SERVICE=embedded", "TAVRIN_USB_IDS=none", TAVRIN_PROGRAM, "--json", "list"}, "");
  EXPECT_EQ(embedded.out, "{\"ok\":true,\"instruments\":[],\"backend\":\"embedded\"}\n");

  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0));
  EXPECT_NE(Log().find("instrument TAVRIN-1 arrived"), std::string::npos);
  EXPECT_NE(Log().find("connected"), std::string::npos);
  EXPECT_NE(Log().find("(pid "), std::string::npos);
}

TEST_F(ServiceTest, AClientKilledInABlockedReadLeavesNothingBehind) {
  Child blocked = Start({SERVICE_TEST_CLIENT, "block", "TAVRIN-0"}, socket_);
  ASSERT_EQ(ReadLine(blocked.out), "blocking");
  ASSERT_TRUE(WaitForHandles("TAVRIN-0", 1));
  std::this_thread::sleep_for(100ms);  // into the driver
  // Other programs are served meanwhile, on the same instrument too.
  EXPECT_EQ(RunToEnd({TAVRIN_PROGRAM, "info", "TAVRIN-0"}, socket_).status, 0);
  EXPECT_EQ(RunToEnd({TAVRIN_PROGRAM, "shell"}, socket_, "write TAVRIN-0 \"FMT 1\"\nread TAVRIN-0 formatted\n").out,
            "FMT 1 of 1: +1.000000E+00\n");
  kill(blocked.pid, SIGKILL);
  EXPECT_EQ(Wait(blocked).status, -SIGKILL);
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0)) << Log();
  EXPECT_TRUE(WaitForLog("disconnected; closed 1 handle(s)")) << Log();

  // Everyone else is served as before, the instrument's answers included.
  ASSERT_EQ(RunToEnd({TAVRIN_PROGRAM, "query", "TAVRIN-0", "ECHO after"}, socket_).out, "after\n");
}

TEST_F(ServiceTest, MalformedClientsAreDroppedAndTheServiceGoesOn) {
  auto header = [](std::uint32_t length, std::uint16_t type, std::uint32_t id) {
    std::vector<std::uint8_t> bytes = wire::Encode(wire::Census{}, id);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(length >> (8 * i));
    bytes[4] = static_cast<std::uint8_t>(type);
    bytes[5] = static_cast<std::uint8_t>(type >> 8);
    return bytes;
  };
  auto hello = wire::Encode(wire::Hello{}, 1);
  wire::Control oversized;
  oversized.code = 0x22208A;  // a timed bulk read
  oversized.outputLength = 0x10000;
  auto oversizedFrame = wire::Encode(oversized, 2);
  std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
      {header(0, 77, 1), "unknown message type"},
      {wire::Encode(wire::Census{}, 1), "first message was not a greeting"},
      {header(40, 3, 1), "truncated message"},  // then the connection ends
      {oversizedFrame, "control output longer than the code allows"},
      {wire::Encode(wire::Close{4}, 2), "close of a handle it does not hold"},
  };
  // A well-behaved client holds a handle all along.
  Child holder = Start({SERVICE_TEST_CLIENT, "block", "TAVRIN-1"}, socket_);
  ASSERT_EQ(ReadLine(holder.out), "blocking");
  for (auto &[bytes, reason] : cases) {
    int fd = Connect(socket_);
    ASSERT_GE(fd, 0);
    if (reason != "unknown message type" && reason != "first message was not a greeting") wire::SendAll(fd, hello);
    wire::SendAll(fd, bytes);
    shutdown(fd, SHUT_WR);
    char sink[256];
    while (read(fd, sink, sizeof sink) > 0) {
    }
    close(fd);
    EXPECT_TRUE(WaitForLog("dropped: " + reason)) << reason << "\n" << Log();
  }
  EXPECT_EQ(Census()["TAVRIN-1"], 1u);
  EXPECT_EQ(RunToEnd({TAVRIN_PROGRAM, "query", "TAVRIN-0", "ECHO still here"}, socket_).out, "still here\n");
  kill(holder.pid, SIGKILL);
  Wait(holder);
  EXPECT_TRUE(WaitForHandles("TAVRIN-1", 0)) << Log();
}

TEST_F(ServiceTest, AClientKilledWithMoreRequestsThanItMayRunIsCleanedUpAndSigtermStopsTheService) {
  pid_t flood = StartReadFlood(socket_, 100);
  ASSERT_GT(flood, 0);
  ASSERT_TRUE(WaitForHandles("TAVRIN-0", 1));
  kill(flood, SIGKILL);
  waitpid(flood, nullptr, 0);
  EXPECT_TRUE(WaitForLog("disconnected; closed 1 handle(s)")) << Log();
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0)) << Log();
  EXPECT_EQ(RunToEnd({TAVRIN_PROGRAM, "query", "TAVRIN-0", "ECHO after"}, socket_).out, "after\n");

  // A live client with requests beyond the cap does not hold up the stop.
  pid_t waiting = StartReadFlood(socket_, 100);
  ASSERT_GT(waiting, 0);
  ASSERT_TRUE(WaitForHandles("TAVRIN-0", 1));
  auto stopped = StopService();
  kill(waiting, SIGKILL);
  waitpid(waiting, nullptr, 0);
  ASSERT_TRUE(stopped.has_value()) << "SIGTERM did not end the service\n" << Log();
  EXPECT_EQ(stopped->second, 0) << Log();
}

TEST_F(ServiceTest, AClientsDeathEndsItsOwnReadsAndNoOneElses) {
  pid_t flood = StartReadFlood(socket_, 100);
  ASSERT_GT(flood, 0);
  std::this_thread::sleep_for(100ms);  // its reads into the driver first
  Child holder = Start({SERVICE_TEST_CLIENT, "block", "TAVRIN-0"}, socket_);
  ASSERT_EQ(ReadLine(holder.out), "blocking");
  ASSERT_TRUE(WaitForHandles("TAVRIN-0", 2));
  kill(flood, SIGKILL);
  waitpid(flood, nullptr, 0);
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 1)) << Log();
  // The holder's read was left alone, and none of the dead client's reads
  // takes the next answer: it is the holder's.
  ASSERT_EQ(RunToEnd({TAVRIN_PROGRAM, "write", "TAVRIN-0", "ECHO for the holder"}, socket_).status, 0);
  EXPECT_EQ(ReadLine(holder.out), "returned 1");
  Wait(holder);
}

TEST_F(ServiceTest, AServiceThatCannotBeReachedIsNeverTakenForOneWithoutInstruments) {
  // No socket at all.
  Finished missing = RunToEnd({TAVRIN_PROGRAM, "list"}, directory_ + "/absent.sock");
  EXPECT_EQ(missing.status, 8);
  EXPECT_EQ(missing.out, "");
  Finished missingJson = RunToEnd({TAVRIN_PROGRAM, "--json", "query", "TAVRIN-0", "*IDN?"}, directory_ + "/absent.sock");
  EXPECT_EQ(missingJson.status, 8);
  EXPECT_NE(missingJson.out.find("absent.sock: no such file"), std::string::npos) << missingJson.out;
  EXPECT_NE(missingJson.out.find("\"exit_status\":8"), std::string::npos) << missingJson.out;

  // A socket left behind by a service that is gone.
  std::string stale = directory_ + "/stale.sock";
  int bound = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  close(bound);
  Finished refused = RunToEnd({TAVRIN_PROGRAM, "--json", "list"}, stale);
  EXPECT_EQ(refused.status, 8);
  EXPECT_NE(refused.out.find("connection refused"), std::string::npos) << refused.out;

  // A service that stopped answering: the call fails instead of hanging.
  kill(service_.pid, SIGSTOP);
  Finished hung = RunToEnd({TAVRIN_PROGRAM, "--json", "query", "TAVRIN-0", "*IDN?"}, socket_);
  kill(service_.pid, SIGCONT);
  EXPECT_EQ(hung.status, 8);
  EXPECT_NE(hung.out.find("stopped answering"), std::string::npos) << hung.out;

  // The embedded kernel is not concerned.
  Finished embedded = RunToEnd({"/usr/bin/env", "TAVRIN_SERVICE=embedded", TAVRIN_PROGRAM, "--simulate", "1", "list"}, "");
  EXPECT_EQ(embedded.status, 0);
  EXPECT_EQ(embedded.out, "TAVRIN-0\n");
  EXPECT_EQ(RunToEnd({TAVRIN_PROGRAM, "query", "TAVRIN-0", "ECHO still served"}, socket_).out, "still served\n");
}

TEST_F(ServiceTest, AUserOutsideTheSocketsGroupIsToldWhichGroupMayUseIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a program as another user";
  // The service's socket is its owner's alone (0600, root's group).
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    setenv("TAVRIN_SERVICE", socket_.c_str(), 1);
    unsetenv("TAVRIN_SIMULATE");
    execl(TAVRIN_PROGRAM, TAVRIN_PROGRAM, "--json", "list", static_cast<char *>(nullptr));
    _exit(98);
  }
  close(out[1]);
  Finished denied = Wait(Child{child, out[0]});
  EXPECT_EQ(denied.status, 8);
  EXPECT_NE(denied.out.find("permission denied (only members of group root may use it)"), std::string::npos)
      << denied.out;
}

// A client over the raw protocol, in the test's own process.
class RawClient {
 public:
  // Connects again while the service refuses it: connections that just
  // ended may still count against its limit for a moment.
  explicit RawClient(const std::string &socket) {
    for (int attempt = 0; attempt < 200; ++attempt, std::this_thread::sleep_for(10ms)) {
      fd_ = Connect(socket);
      reader_ = std::make_unique<wire::FrameReader>(fd_);
      Send(wire::Hello{});
      if (std::holds_alternative<wire::HelloReply>(Next())) return;
      reader_.reset();
      close(fd_);
    }
    ADD_FAILURE() << "the service never took the connection";
  }
  ~RawClient() { close(fd_); }

  bool Send(const wire::Message &message) { return wire::SendAll(fd_, wire::Encode(message, ++lastId_)); }
  // The next message, or a Census when the connection ended.
  wire::Message Next() {
    wire::Frame frame;
    std::string error;
    if (reader_->Next(&frame, &error) != wire::FrameReader::Result::Frame) return wire::Census{};
    return frame.message;
  }
  std::uint32_t Open(const std::string &name, std::int32_t *status) {
    Send(wire::Open{u"\\??\\" + std::u16string(name.begin(), name.end())});
    wire::Message reply = Next();
    auto *opened = std::get_if<wire::OpenReply>(&reply);
    *status = opened != nullptr ? opened->status : -1;
    return opened != nullptr ? opened->handle : 0;
  }
  bool Answers() {
    Send(wire::Census{});
    return std::holds_alternative<wire::CensusReply>(Next());
  }

 private:
  int fd_ = -1;
  std::unique_ptr<wire::FrameReader> reader_;
  std::uint32_t lastId_ = 0;
};

constexpr std::int32_t kInsufficientResources = static_cast<std::int32_t>(0xC000009A);

class LimitedServiceTest : public ServiceTest {
 protected:
  std::vector<std::string> ServiceArguments() const override {
    return {"--max-clients", "3", "--max-client-memory", "1"};
  }
  // Asks `tavrin query` until a connection is free for it.
  std::string QueryWhenServed(const std::string &name, const std::string &text) {
    for (int attempt = 0; attempt < 100; ++attempt, std::this_thread::sleep_for(20ms)) {
      Finished query = RunToEnd({TAVRIN_PROGRAM, "query", name, text}, socket_);
      if (query.status != 8) return query.out;
    }
    return "(never served)";
  }
};

TEST_F(LimitedServiceTest, EachLimitRefusesCleanlyAndTheServiceServesEveryoneElse) {
  // One client may open 1024 handles; the next open is refused, the
  // connection stays up.
  {
    RawClient opener(socket_);
    std::int32_t status = 0;
    for (int i = 0; i < 1024; ++i) ASSERT_NE(opener.Open("TAVRIN-0", &status), 0u) << i;
    EXPECT_EQ(opener.Open("TAVRIN-0", &status), 0u);
    EXPECT_EQ(status, kInsufficientResources);
    EXPECT_TRUE(opener.Answers());
    EXPECT_TRUE(WaitForLog("refused a request at the limit of open handles per client (1024)")) << Log();
  }
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0)) << Log();

  // Requests holding 64 KiB each fill the 1 MiB all clients may hold.
  {
    RawClient reader(socket_);
    std::int32_t status = 0;
    std::uint32_t handle = reader.Open("TAVRIN-0", &status);
    ASSERT_NE(handle, 0u);
    wire::Control read;
    read.handle = handle;
    read.code = IOCTL_INSTR_BULK_READ;
    read.outputLength = 0xFFFF;
    read.input = {1, 0, 0, 0};
    for (int i = 0; i < 17; ++i) reader.Send(read);
    wire::Message reply = reader.Next();
    auto *refused = std::get_if<wire::ControlReply>(&reply);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->status, kInsufficientResources);
    EXPECT_TRUE(refused->data.empty());
    EXPECT_TRUE(WaitForLog("refused a request at the limit of --max-client-memory")) << Log();
    // Others are served meanwhile.
    EXPECT_EQ(QueryWhenServed("TAVRIN-1", "ECHO served"), "served\n");
  }
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0)) << Log();

  // A message counts while it arrives: a 4 MiB isochronous write is
  // dropped before the service has buffered more than the limit.
  {
    RawClient writer(socket_);
    std::int32_t status = 0;
    wire::Control write;
    write.handle = writer.Open("TAVRIN-0", &status);
    write.code = IOCTL_INSTR_ISO_WRITE;
    write.outputLength = 4u << 20;
    write.output.assign(write.outputLength, 0x55);
    write.input = {2, 0, 0, 0};
    EXPECT_FALSE(writer.Send(write) && writer.Answers());
    EXPECT_TRUE(WaitForLog("dropped: at the limit of --max-client-memory")) << Log();
  }
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0)) << Log();

  // A fourth client at once is refused; once one leaves, others come in.
  {
    auto first = std::make_unique<RawClient>(socket_);
    RawClient second(socket_), third(socket_);
    int fourth = Connect(socket_);
    ASSERT_GE(fourth, 0);
    char byte;
    EXPECT_EQ(read(fourth, &byte, 1), 0) << "the fourth client was not closed";
    close(fourth);
    EXPECT_TRUE(WaitForLog("at the limit of --max-clients: clients served at once (3)")) << Log();
    EXPECT_TRUE(second.Answers());
    first.reset();
    EXPECT_EQ(QueryWhenServed("TAVRIN-1", "ECHO again"), "again\n") << Log();
  }
}

// A raw client that greets the service and takes the shared channel.
struct AttachedClient {
  int socket = -1;
  service::ring::ChannelFds fds;
};

AttachedClient Attach(const std::string &path) {
  AttachedClient client;
  client.socket = Connect(path);
  EXPECT_GE(client.socket, 0);
  wire::SendAll(client.socket, wire::Encode(wire::Hello{}, 1));
  wire::SendAll(client.socket, wire::Encode(wire::Attach{}, 2));
  wire::FrameReader reader(client.socket, true);
  wire::Frame frame;
  std::string error;
  EXPECT_EQ(reader.Next(&frame, &error), wire::FrameReader::Result::Frame);  // the greeting's reply
  EXPECT_EQ(reader.Next(&frame, &error), wire::FrameReader::Result::Frame) << error;
  auto *granted = std::get_if<wire::AttachReply>(&frame.message);
  EXPECT_TRUE(granted != nullptr && granted->status == 0 && granted->ringBytes == service::ring::kRingBytes);
  std::vector<int> passed = reader.TakeDescriptors();
  EXPECT_EQ(passed.size(), 3u);
  if (passed.size() == 3) client.fds = {passed[0], passed[1], passed[2]};
  return client;
}

TEST_F(ServiceTest, TheSharedChannelCarriesRequestsAndAClientThatBreaksItIsDropped) {
  namespace ring = service::ring;
  Child holder = Start({SERVICE_TEST_CLIENT, "block", "TAVRIN-1"}, socket_);
  ASSERT_EQ(ReadLine(holder.out), "blocking");

  // A census asked and answered through the rings.
  {
    AttachedClient client = Attach(socket_);
    ring::Channel channel(ring::Channel::Side::Client, client.fds, client.socket);
    ASSERT_TRUE(channel.mapped());
    auto census = wire::Encode(wire::Census{}, 3);
    ASSERT_TRUE(channel.Write(census.data(), census.size()));
    ring::ChannelSource source(&channel);
    wire::FrameReader reader(&source);
    wire::Frame frame;
    std::string error;
    ASSERT_EQ(reader.Next(&frame, &error), wire::FrameReader::Result::Frame) << error;
    EXPECT_EQ(frame.header.requestId, 3u);
    auto *reply = std::get_if<wire::CensusReply>(&frame.message);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->instruments.size(), 2u);
    // A malformed frame in the ring is dropped like one on the socket.
    auto unknown = wire::Encode(wire::Census{}, 4);
    unknown[4] = 77;
    ASSERT_TRUE(channel.Write(unknown.data(), unknown.size()));
    EXPECT_TRUE(WaitForLog("dropped: unknown message type")) << Log();
    close(client.socket);
  }
  // A write position that puts more than a ring's bytes in the ring.
  {
    AttachedClient client = Attach(socket_);
    void *region = mmap(nullptr, ring::kRegionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, client.fds.region, 0);
    ASSERT_NE(region, MAP_FAILED);
    static_cast<std::uint32_t *>(region)[0] = ring::kRingBytes + 1;  // the requests' head, offset 0
    std::uint64_t one = 1;
    ASSERT_EQ(write(client.fds.serviceWake, &one, sizeof one), 8);
    EXPECT_TRUE(WaitForLog("dropped: the peer's write position is outside the ring")) << Log();
    munmap(region, ring::kRegionBytes);
    ring::CloseChannelFds(&client.fds);
    close(client.socket);
  }
  // A message on the socket once the rings carry them.
  {
    AttachedClient client = Attach(socket_);
    wire::SendAll(client.socket, wire::Encode(wire::Census{}, 3));
    EXPECT_TRUE(WaitForLog("dropped: a message on the socket beside the shared ring")) << Log();
    ring::CloseChannelFds(&client.fds);
    close(client.socket);
  }
  // The region is sealed at its size.
  {
    AttachedClient client = Attach(socket_);
    EXPECT_NE(ftruncate(client.fds.region, 4096), 0);
    ring::CloseChannelFds(&client.fds);
    close(client.socket);
  }

  EXPECT_EQ(Census()["TAVRIN-1"], 1u);
  EXPECT_EQ(RunToEnd({TAVRIN_PROGRAM, "query", "TAVRIN-0", "ECHO still here"}, socket_).out, "still here\n");
  kill(holder.pid, SIGKILL);
  Wait(holder);
  EXPECT_TRUE(WaitForHandles("TAVRIN-1", 0)) << Log();
}

TEST_F(ServiceTest, EightClientsOfMixedTrafficLoseNoAnswer) {
  constexpr int kClients = 8;
  std::vector<Child> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Start({SERVICE_TEST_CLIENT, "traffic", "3", "c" + std::to_string(i)}, socket_));
  }
  std::multiset<std::string> expected, received;
  for (int i = 0; i < kClients; ++i) {
    Finished done = Wait(clients[static_cast<std::size_t>(i)]);
    ASSERT_EQ(done.status, 0) << "client " << i;
    std::vector<std::string> lines = Lines(done.out);
    ASSERT_FALSE(lines.empty());
    unsigned sent = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "sent %u", &sent), 1);
    EXPECT_GT(sent, 10u) << "client " << i << " hardly ran";
    for (unsigned n = 0; n < sent; ++n) expected.insert("c" + std::to_string(i) + "-" + std::to_string(n));
    received.insert(lines.begin() + 1, lines.end());
  }
  Finished rest = RunToEnd({SERVICE_TEST_CLIENT, "drain"}, socket_);
  ASSERT_EQ(rest.status, 0);
  for (const std::string &line : Lines(rest.out)) received.insert(line);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0));
  EXPECT_TRUE(WaitForHandles("TAVRIN-1", 0));
}

TEST_F(ServiceTest, TheConsoleWorksThroughTheService) {
  // The console selects the first instrument, connects on its next tick and
  // then polls its reply channels every 100 ms.
  Child console = Start({PIPE_CONSOLE_PROGRAM, "-platform", "offscreen"}, socket_, "",
                        {"HOME=" + directory_, "XDG_CONFIG_HOME=" + directory_ + "/config"});
  ASSERT_TRUE(WaitForLog("(pid " + std::to_string(console.pid) + ",")) << Log();
  // Once it polls TAVRIN-0, answers there are the console's: they leave the
  // channel without anyone else reading them.
  bool consumed = false;
  for (int attempt = 0; attempt < 40 && !consumed; ++attempt) {
    ASSERT_EQ(RunToEnd({TAVRIN_PROGRAM, "write", "TAVRIN-0", "ECHO for the console"}, socket_).status, 0);
    std::this_thread::sleep_for(400ms);
    consumed = RunToEnd({SERVICE_TEST_CLIENT, "drain"}, socket_).out.empty();
  }
  EXPECT_TRUE(consumed) << "the console never read TAVRIN-0 through the service";
  kill(console.pid, SIGTERM);
  Wait(console);
  EXPECT_TRUE(WaitForHandles("TAVRIN-0", 0));
}

// The first program to reach a service that has just started, or that its
// socket has just started, finds every simulated instrument: the service
// attaches them before it takes a connection, and a connection made earlier
// waits for it.
TEST(ServiceStartTest, TheFirstProgramFindsEveryInstrumentStartedDirectlyOrByItsSocket) {
  const std::string activator = "/usr/bin/systemd-socket-activate";
  bool canActivate = access(activator.c_str(), X_OK) == 0;
  for (bool byItsSocket : {false, true}) {
    if (byItsSocket && !canActivate) continue;
    for (int attempt = 0; attempt < 3; ++attempt) {
      char pattern[] = "/tmp/tavrind-start-XXXXXX";
      std::string directory = mkdtemp(pattern);
      std::string socket = directory + "/kernel.sock", log = directory + "/tavrind.log";
      std::vector<std::string> service = {TAVRIND_PROGRAM, "--simulate", "2", "--foreground"};
      if (byItsSocket) {
        service.insert(service.begin(), {activator, "--listen", socket});
      } else {
        service.insert(service.begin() + 1, {"--socket", socket});
      }
      Child started = Start(service, "", log);
      struct stat st {};
      for (auto end = std::chrono::steady_clock::now() + 10s;
           stat(socket.c_str(), &st) != 0 && std::chrono::steady_clock::now() < end;) {
        std::this_thread::yield();
      }
      Finished list = RunToEnd({TAVRIN_PROGRAM, "list"}, socket);
      kill(started.pid, SIGTERM);
      Wait(started);
      std::ifstream in(log);
      std::string logText{std::istreambuf_iterator<char>(in), {}};
      EXPECT_EQ(list.status, 0) << logText;
      EXPECT_EQ(Lines(list.out), (std::vector<std::string>{"TAVRIN-0", "TAVRIN-1"}))
          << (byItsSocket ? "started by its socket\n" : "started directly\n") << logText;
      std::system(("rm -rf " + directory).c_str());
    }
  }
  if (!canActivate) GTEST_SKIP() << "no " << activator << " to start the service by its socket";
}

}  // namespace

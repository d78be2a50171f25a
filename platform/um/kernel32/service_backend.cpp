// The backend that reaches the kernel hosted by tavrind: one connection per
// process, requests of several threads outstanding on it at once. The thread
// that finds nobody reading the connection reads replies for everyone until
// its own arrives, so a lone thread pays one send and one receive per call.
// Right after the greeting the connection asks for the shared-memory channel
// and, when the service grants it, sends and receives every message through
// it; the socket then only tells either side that the other ended.
#include "device_backend.h"

#include <frame_stream.h>
#include <shared_ring.h>
#include <wire_protocol.h>

#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace um {
namespace {

namespace wire = service::wire;
namespace ring = service::ring;

constexpr NtStatus kStatusAccessViolation = static_cast<NtStatus>(0xC0000005);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kStatusObjectPathNotFound = static_cast<NtStatus>(0xC000003A);
constexpr NtStatus kStatusDeviceNotConnected = static_cast<NtStatus>(0xC000009D);
constexpr NtStatus kStatusIoTimeout = static_cast<NtStatus>(0xC00000B5);
constexpr NtStatus kStatusPipeBroken = static_cast<NtStatus>(0xC000014B);
constexpr NtStatus kStatusConnectionRefused = static_cast<NtStatus>(0xC0000236);

// How long a request may go without any sign of the service before the call
// fails, and how long the reading thread waits before it asks for one.
constexpr std::chrono::milliseconds kNoSignOfLife{5000};
constexpr std::chrono::milliseconds kProbeAfter{2000};

// Why connecting to the socket failed, in the user's terms.
std::string ConnectFailure(const std::string &path, int error) {
  std::string what = "cannot connect to tavrind at " + path + ": ";
  switch (error) {
    case ENOENT:
      return what + "no such file (the service is not running, or uses another socket)";
    case ECONNREFUSED:
      return what + "connection refused (no service listens there: it stopped or left its socket behind)";
    case EACCES:
    case EPERM: {
      // The socket's group, or its directory's when the socket cannot be seen.
      struct stat st {};
      std::string directory = path.substr(0, path.rfind('/'));
      bool seen = stat(path.c_str(), &st) == 0 || stat(directory.c_str(), &st) == 0;
      const group *owner = seen ? getgrgid(st.st_gid) : nullptr;
      std::string groupName = owner != nullptr ? owner->gr_name : seen ? std::to_string(st.st_gid) : "";
      return what + "permission denied" +
             (groupName.empty() ? std::string() : " (only members of group " + groupName + " may use it)");
    }
    default:
      return what + std::strerror(error);
  }
}

class Connection {
 public:
  // Connects and greets the service; null, with the reason, when it cannot
  // be reached or speaks another version.
  static std::shared_ptr<Connection> Dial(const std::string &path, std::string *failure) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
      *failure = "cannot connect to tavrind at " + path + ": the path is too long";
      return nullptr;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *failure = ConnectFailure(path, errno);
      return nullptr;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
      *failure = ConnectFailure(path, errno);
      close(fd);
      return nullptr;
    }
    // A send that finds no room for as long stops waiting: the service does
    // not take requests any more.
    timeval sendLimit{static_cast<time_t>(kNoSignOfLife.count() / 1000), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    auto connection = std::make_shared<Connection>(fd, path);
    std::optional<wire::Message> reply = connection->Call(wire::Hello{});
    const auto *hello = reply ? std::get_if<wire::HelloReply>(&*reply) : nullptr;
    if (hello == nullptr) {
      *failure = connection->Failure();
      return nullptr;
    }
    if (hello->version != wire::kVersion) {
      *failure = "tavrind at " + path + " speaks protocol version " + std::to_string(hello->version) +
                 ", this program version " + std::to_string(wire::kVersion);
      return nullptr;
    }
    connection->Attach();
    if (connection->Broken()) {
      *failure = connection->Failure();
      return nullptr;
    }
    return connection;
  }

  Connection(int fd, std::string path)
      : fd_(fd), path_(std::move(path)), socketReader_(fd, true), reader_(&socketReader_) {}
  ~Connection() { close(fd_); }

  // Sends a request and waits for its reply; nullopt once the service is
  // gone or has shown no sign of life for kNoSignOfLife (Failure() says which).
  std::optional<wire::Message> Call(const wire::Message &request) {
    if (abandoned_) return std::nullopt;
    std::unique_lock guard(lock_);
    if (broken_) return std::nullopt;
    std::uint32_t id = NextId();
    // The service's silence counts from the first request it owes an answer.
    if (replies_.empty()) lastSignOfLife_ = std::chrono::steady_clock::now();
    auto slot = replies_.emplace(id, std::nullopt).first;
    guard.unlock();
    bool sent = Send(request, id);
    guard.lock();
    if (!sent) BreakForSend();
    for (;;) {
      if (slot->second) {
        std::optional<wire::Message> reply = std::move(slot->second);
        replies_.erase(slot);
        return reply;
      }
      if (broken_) {
        replies_.erase(slot);
        return std::nullopt;
      }
      if (reading_) {
        arrived_.wait(guard);
        continue;
      }
      reading_ = true;
      guard.unlock();
      ReadOne();
      guard.lock();
      reading_ = false;
      arrived_.notify_all();
    }
  }
  // Sends a message that has no reply.
  void Post(const wire::Message &message) {
    if (abandoned_) return;
    if (!Send(message, 0)) {
      std::lock_guard guard(lock_);
      BreakForSend();
    }
  }

  bool Broken() {
    if (abandoned_) return true;
    std::lock_guard guard(lock_);
    return broken_ || abandoned_;
  }

  // Why the connection ended, for the user.
  std::string Failure() {
    std::lock_guard guard(lock_);
    return failure_.empty() ? "tavrind at " + path_ + " closed the connection" : failure_;
  }
  // The status a call that found the connection ended fails with.
  NtStatus FailureStatus() {
    std::lock_guard guard(lock_);
    return failureStatus_;
  }

  // In a child after fork: the connection stays the parent's. Nothing here
  // may take a lock another thread of the parent held at the fork.
  void Abandon() {
    abandoned_ = true;
    if (channel_) channel_->Abandon();
    close(fd_);
  }

 private:
  // Asks for the shared-memory channel; without it the connection goes on
  // over the socket. Called before the connection is shared.
  void Attach() {
    std::optional<wire::Message> reply = Call(wire::Attach{});
    const auto *granted = reply ? std::get_if<wire::AttachReply>(&*reply) : nullptr;
    std::vector<int> passed = socketReader_.TakeDescriptors();
    ring::ChannelFds fds;
    if (passed.size() == 3) fds = ring::ChannelFds{passed[0], passed[1], passed[2]};
    struct stat region {};
    bool usable = granted != nullptr && granted->status == 0 && granted->ringBytes == ring::kRingBytes &&
                  passed.size() == 3 && fstat(fds.region, &region) == 0 &&
                  static_cast<std::size_t>(region.st_size) == ring::kRegionBytes;
    if (!usable) {
      for (int fd : passed) close(fd);
      // A service that granted the channel answers only through it: a
      // client that cannot use it has nothing to go on with.
      if (granted != nullptr && granted->status == 0) {
        std::lock_guard guard(lock_);
        Break("the shared channel that tavrind at " + path_ + " granted could not be used");
      }
      return;
    }
    channel_ = std::make_unique<ring::Channel>(ring::Channel::Side::Client, fds, fd_);
    if (!channel_->mapped()) {
      std::lock_guard guard(lock_);
      Break("the shared channel that tavrind at " + path_ + " granted could not be mapped");
      return;
    }
    channel_->SetRoomWaitLimit(static_cast<int>(kNoSignOfLife.count()));
    channelSource_ = std::make_unique<ring::ChannelSource>(channel_.get());
    channelReader_ = std::make_unique<wire::FrameReader>(channelSource_.get());
    reader_ = channelReader_.get();
  }

  bool Send(const wire::Message &message, std::uint32_t id) {
    std::vector<std::uint8_t> frame = wire::Encode(message, id);
    std::lock_guard guard(sendLock_);
    if (channel_) return channel_->Write(frame.data(), frame.size());
    return wire::SendAll(fd_, frame);
  }

  std::uint32_t NextId() {
    std::uint32_t id = nextId_++;
    if (nextId_ == 0) nextId_ = 1;
    return id;
  }

  // Reads one frame for whoever waits on it. Quiet for kProbeAfter, it asks
  // the service for a census; still quiet kNoSignOfLife after the last
  // frame, the service is taken for hung. Called by the one reading thread.
  void ReadOne() {
    using std::chrono::milliseconds;
    milliseconds wait;
    {
      std::lock_guard guard(lock_);
      auto quiet = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - lastSignOfLife_);
      wait = probeId_ == 0 ? kProbeAfter - quiet : kNoSignOfLife - quiet;
    }
    reader_->SetWaitLimit(static_cast<int>(std::max(wait, milliseconds(1)).count()));
    wire::Frame frame;
    std::string error;
    wire::FrameReader::Result result = reader_->Next(&frame, &error);
    std::lock_guard guard(lock_);
    auto now = std::chrono::steady_clock::now();
    if (result == wire::FrameReader::Result::TimedOut) {
      if (probeId_ != 0 && now - lastSignOfLife_ >= kNoSignOfLife) {
        Break(Unresponsive("stopped answering"), kStatusIoTimeout);
      } else if (probeId_ == 0) {
        probeId_ = NextId();
        // Sent by the reading thread; a full ring or socket fails after the limit.
        if (!Send(wire::Census{}, probeId_)) BreakForSend();
      }
      return;
    }
    if (result != wire::FrameReader::Result::Frame) {
      Break("tavrind at " + path_ + (result == wire::FrameReader::Result::Closed
                                          ? std::string(" closed the connection (it stopped or restarted)")
                                          : " broke the connection (" + error + ")"));
      return;
    }
    lastSignOfLife_ = now;
    if (frame.header.requestId == probeId_ && probeId_ != 0) {
      probeId_ = 0;
      return;
    }
    auto waiting = replies_.find(frame.header.requestId);
    if (waiting == replies_.end() || waiting->second) {
      Break("tavrind at " + path_ + " sent a reply nobody asked for");
    } else {
      waiting->second = std::move(frame.message);
    }
  }

  // A send failed: the service closed the connection, or took nothing for
  // kNoSignOfLife.
  void BreakForSend() {
    pollfd socket{fd_, POLLRDHUP, 0};
    bool closed = poll(&socket, 1, 0) > 0 && (socket.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    if (closed) {
      Break("tavrind at " + path_ + " closed the connection (it stopped or restarted)");
    } else {
      Break(Unresponsive("stopped taking requests"), kStatusIoTimeout);
    }
  }

  std::string Unresponsive(const std::string &what) const {
    return "tavrind at " + path_ + " " + what + " (no sign of life for " +
           std::to_string(kNoSignOfLife.count() / 1000) + " s)";
  }

  void Break(const std::string &reason, NtStatus status = kStatusPipeBroken) {
    if (!broken_) {
      failure_ = reason;
      failureStatus_ = status;
      shutdown(fd_, SHUT_RDWR);
      if (channel_) channel_->Close();  // ends a wait for room in the ring
    }
    broken_ = true;
    arrived_.notify_all();
  }

  const int fd_;
  const std::string path_;
  std::atomic<bool> abandoned_{false};
  std::mutex sendLock_;
  std::mutex lock_;
  std::condition_variable arrived_;
  bool reading_ = false;
  bool broken_ = false;
  std::uint32_t nextId_ = 1;
  std::map<std::uint32_t, std::optional<wire::Message>> replies_;
  std::string failure_;
  NtStatus failureStatus_ = kStatusPipeBroken;
  // Liveness: when the service last sent anything, and the census asked of
  // it as a probe (0: none outstanding).
  std::chrono::steady_clock::time_point lastSignOfLife_ = std::chrono::steady_clock::now();
  std::uint32_t probeId_ = 0;
  // Used only by the thread that is reading.
  wire::FrameReader socketReader_;
  std::unique_ptr<ring::Channel> channel_;
  std::unique_ptr<ring::ChannelSource> channelSource_;
  std::unique_ptr<wire::FrameReader> channelReader_;
  wire::FrameReader *reader_;
};

struct RemoteFile {
  std::shared_ptr<Connection> connection;
  std::uint32_t handle;
};

class Service final : public DeviceBackend {
 public:
  explicit Service(std::string path) : path_(std::move(path)) {
    pthread_atfork([] { Instance()->connectLock_.lock(); }, [] { Instance()->connectLock_.unlock(); },
                   [] { Instance()->ForgetParentConnection(); });
  }

  static Service *&Instance() {
    static Service *instance = nullptr;
    return instance;
  }

  NtStatus Open(std::u16string_view ntPath, void **file) override {
    *file = nullptr;
    if (ntPath.empty() || ntPath.size() > wire::kMaxPathUnits) return kStatusObjectPathNotFound;
    std::shared_ptr<Connection> connection = Current();
    if (!connection) return kStatusConnectionRefused;
    std::optional<wire::Message> reply = connection->Call(wire::Open{std::u16string(ntPath)});
    const auto *opened = reply ? std::get_if<wire::OpenReply>(&*reply) : nullptr;
    if (opened == nullptr) return connection->FailureStatus();
    if (opened->status >= 0) *file = new RemoteFile{std::move(connection), opened->handle};
    return opened->status;
  }

  NtStatus Control(void *file, std::uint32_t code, const void *input, std::uint32_t inputLength, void *output,
                   std::uint32_t outputLength, std::uint64_t *information) override {
    *information = 0;
    auto *remote = static_cast<RemoteFile *>(file);
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0)) {
      return kStatusAccessViolation;
    }
    if (inputLength > wire::kMaxTransferBytes || outputLength > wire::MaxOutputBytes(code)) {
      return kStatusInvalidParameter;
    }
    if (remote->connection->Broken()) return remote->connection->FailureStatus();
    wire::Control request;
    request.handle = remote->handle;
    request.code = code;
    request.outputLength = outputLength;
    auto *in = static_cast<const std::uint8_t *>(input);
    request.input.assign(in, in + inputLength);
    if (wire::OutputTravelsToService(code)) {
      auto *out = static_cast<const std::uint8_t *>(output);
      request.output.assign(out, out + outputLength);
    }
    std::optional<wire::Message> reply = remote->connection->Call(request);
    if (!reply) return remote->connection->FailureStatus();
    auto *done = std::get_if<wire::ControlReply>(&*reply);
    if (done == nullptr || done->data.size() > outputLength) return kStatusDeviceNotConnected;
    if (!done->data.empty()) std::memcpy(output, done->data.data(), done->data.size());
    *information = done->information;
    return done->status;
  }

  // Why the service cannot serve this process now, or empty when it can:
  // connects first when there is no live connection.
  std::string Problem() {
    std::shared_ptr<Connection> connection = Current();
    if (connection) return {};
    std::lock_guard guard(connectLock_);
    return lastFailure_;
  }

  void Close(void *file) override {
    auto *remote = static_cast<RemoteFile *>(file);
    if (!remote->connection->Broken()) remote->connection->Post(wire::Close{remote->handle});
    delete remote;
  }

 private:
  // The live connection, dialled anew when there is none or it broke (the
  // service restarted); handles of a broken connection stay dead. A failed
  // dial is not tried again for a moment, so that the opens of one scan do
  // not each wait on a service that does not answer.
  std::shared_ptr<Connection> Current() {
    std::lock_guard guard(connectLock_);
    if (current_ && !current_->Broken()) return current_;
    if (current_) lastFailure_ = current_->Failure();
    auto now = std::chrono::steady_clock::now();
    if (!current_ && !lastFailure_.empty() && now - lastDial_ < kRedialAfter) return nullptr;
    lastDial_ = now;
    current_ = Connection::Dial(path_, &lastFailure_);
    if (current_) lastFailure_.clear();
    return current_;
  }

  void ForgetParentConnection() {
    if (current_) {
      current_->Abandon();
      new std::shared_ptr<Connection>(std::move(current_));  // never destroyed: its locks may be held
    }
    connectLock_.unlock();
  }

  static constexpr std::chrono::seconds kRedialAfter{1};

  const std::string path_;
  std::mutex connectLock_;
  std::shared_ptr<Connection> current_;
  std::string lastFailure_;
  std::chrono::steady_clock::time_point lastDial_;
};

}  // namespace

DeviceBackend &ServiceBackend(const std::string &socketPath) {
  static Service *backend = [&] {
    auto *service = new Service(socketPath);  // lives as long as handles may
    Service::Instance() = service;
    return service;
  }();
  return *backend;
}

std::string ServiceProblem(const std::string &socketPath) {
  return static_cast<Service &>(ServiceBackend(socketPath)).Problem();
}

}  // namespace um

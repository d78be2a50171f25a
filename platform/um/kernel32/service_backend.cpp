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

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
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
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kStatusObjectPathNotFound = static_cast<NtStatus>(0xC000003A);
constexpr NtStatus kStatusDeviceNotConnected = static_cast<NtStatus>(0xC000009D);

class Connection {
 public:
  // Connects and greets the service; null when it cannot be reached or
  // speaks another version.
  static std::shared_ptr<Connection> Dial(const std::string &path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return nullptr;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
      close(fd);
      return nullptr;
    }
    auto connection = std::make_shared<Connection>(fd);
    std::optional<wire::Message> reply = connection->Call(wire::Hello{});
    const auto *hello = reply ? std::get_if<wire::HelloReply>(&*reply) : nullptr;
    if (hello == nullptr || hello->version != wire::kVersion) return nullptr;
    connection->Attach();
    if (connection->Broken()) return nullptr;
    return connection;
  }

  explicit Connection(int fd) : fd_(fd), socketReader_(fd, true), reader_(&socketReader_) {}
  ~Connection() { close(fd_); }

  // Sends a request and waits for its reply; nullopt once the service is gone.
  std::optional<wire::Message> Call(const wire::Message &request) {
    if (abandoned_) return std::nullopt;
    std::unique_lock guard(lock_);
    if (broken_) return std::nullopt;
    std::uint32_t id = nextId_++;
    auto slot = replies_.emplace(id, std::nullopt).first;
    guard.unlock();
    bool sent = Send(request, id);
    guard.lock();
    if (!sent) Break();
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
      wire::Frame frame;
      std::string error;
      bool read = reader_->Next(&frame, &error) == wire::FrameReader::Result::Frame;
      guard.lock();
      reading_ = false;
      auto waiting = read ? replies_.find(frame.header.requestId) : replies_.end();
      if (waiting == replies_.end() || waiting->second) {
        Break();  // the stream ended, or carried a reply nobody asked for
      } else {
        waiting->second = std::move(frame.message);
      }
      arrived_.notify_all();
    }
  }

  // Sends a message that has no reply.
  void Post(const wire::Message &message) {
    if (abandoned_) return;
    if (!Send(message, 0)) {
      std::lock_guard guard(lock_);
      Break();
    }
  }

  bool Broken() {
    if (abandoned_) return true;
    std::lock_guard guard(lock_);
    return broken_ || abandoned_;
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
        Break();
      }
      return;
    }
    channel_ = std::make_unique<ring::Channel>(ring::Channel::Side::Client, fds, fd_);
    if (!channel_->mapped()) {
      std::lock_guard guard(lock_);
      Break();
      return;
    }
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

  void Break() {
    if (!broken_) {
      shutdown(fd_, SHUT_RDWR);
      if (channel_) channel_->Close();  // ends a wait for room in the ring
    }
    broken_ = true;
    arrived_.notify_all();
  }

  const int fd_;
  std::atomic<bool> abandoned_{false};
  std::mutex sendLock_;
  std::mutex lock_;
  std::condition_variable arrived_;
  bool reading_ = false;
  bool broken_ = false;
  std::uint32_t nextId_ = 1;
  std::map<std::uint32_t, std::optional<wire::Message>> replies_;
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
    if (!connection) return kStatusObjectPathNotFound;
    std::optional<wire::Message> reply = connection->Call(wire::Open{std::u16string(ntPath)});
    const auto *opened = reply ? std::get_if<wire::OpenReply>(&*reply) : nullptr;
    if (opened == nullptr) return kStatusDeviceNotConnected;
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
    if (remote->connection->Broken()) return kStatusDeviceNotConnected;
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
    auto *done = reply ? std::get_if<wire::ControlReply>(&*reply) : nullptr;
    if (done == nullptr || done->data.size() > outputLength) return kStatusDeviceNotConnected;
    if (!done->data.empty()) std::memcpy(output, done->data.data(), done->data.size());
    *information = done->information;
    return done->status;
  }

  void Close(void *file) override {
    auto *remote = static_cast<RemoteFile *>(file);
    if (!remote->connection->Broken()) remote->connection->Post(wire::Close{remote->handle});
    delete remote;
  }

 private:
  // The live connection, dialled anew when there is none or it broke (the
  // service restarted); handles of a broken connection stay dead.
  std::shared_ptr<Connection> Current() {
    std::lock_guard guard(connectLock_);
    if (!current_ || current_->Broken()) current_ = Connection::Dial(path_);
    return current_;
  }

  void ForgetParentConnection() {
    if (current_) {
      current_->Abandon();
      new std::shared_ptr<Connection>(std::move(current_));  // never destroyed: its locks may be held
    }
    connectLock_.unlock();
  }

  const std::string path_;
  std::mutex connectLock_;
  std::shared_ptr<Connection> current_;
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

}  // namespace um

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "../channel.h"

namespace softunit {

namespace {

// Waits for `events` on `fd`: 1 ready, 0 time-out, -1 failure.
int wait_for(int fd, short events, int timeout_ms) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&entry, 1, timeout_ms);
    if (ready >= 0) return ready > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

class FdStream : public Stream {
 public:
  explicit FdStream(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FdStream() override {
    if (owned_) close(fd_);
  }
  int64_t read_some(void* data, size_t size, int timeout_ms) override {
    const int ready = wait_for(fd_, POLLIN, timeout_ms);
    if (ready <= 0) return ready;
    ssize_t n;
    do n = read(fd_, data, size);
    while (n < 0 && errno == EINTR);
    // A pseudo-terminal whose slave is closed reports EIO: the host went away.
    return n > 0 ? n : -1;
  }
  bool write_all(const void* data, size_t size) override {
    note_sending();
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      // A socket whose peer is gone must fail the write, not end the process with SIGPIPE.
      ssize_t n = send(fd_, bytes, size, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) n = write(fd_, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN && wait_for(fd_, POLLOUT, 2000) > 0) continue;
      if (n <= 0) return false;
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  bool owned_;
};

class PseudoTerminal : public DeviceEndpoint {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    // The unit keeps the slave open too, so the master never sees the line drop between hosts,
    // and puts it in raw mode before any host arrives.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (slave_ >= 0 && tcgetattr(slave_, &settings) == 0) {
      cfmakeraw(&settings);
      tcsetattr(slave_, TCSANOW, &settings);
    }
    stream_ = std::make_unique<FdStream>(master_, false);
  }
  ~PseudoTerminal() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  std::string device_path() const override { return path_; }
  Stream* wait_for_host(int) override { return stream_.get(); }
  void reset() override { tcflush(master_, TCIOFLUSH); }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::unique_ptr<FdStream> stream_;
};

class PosixTcpListener : public TcpListener {
 public:
  PosixTcpListener(const std::string& host, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (!host.empty()) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return;
      address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      freeaddrinfo(found);
    }
    // A fixed port can be taken again at once after an earlier unit ended.
    int one = 1;
    if (fd_ >= 0 && port != 0) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
  }
  ~PosixTcpListener() override {
    if (fd_ >= 0) close(fd_);
  }
  uint16_t port() const override { return port_; }
  std::unique_ptr<Stream> accept(int timeout_ms) override {
    if (fd_ < 0 || wait_for(fd_, POLLIN, timeout_ms) <= 0) return nullptr;
    const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return nullptr;
    int one = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<FdStream>(connection, true);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<DeviceEndpoint> DeviceEndpoint::create() { return std::make_unique<PseudoTerminal>(); }
std::unique_ptr<DeviceEndpoint> DeviceEndpoint::create_serial_line() {
  auto line = std::make_unique<PseudoTerminal>();
  return line->device_path().empty() ? nullptr : std::move(line);
}
std::unique_ptr<TcpListener> TcpListener::create(const std::string& host, uint16_t port) {
  return std::make_unique<PosixTcpListener>(host, port);
}

std::unique_ptr<Stream> connect_loopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return nullptr;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return std::make_unique<FdStream>(fd, true);
}

}  // namespace softunit

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "../channel.h"

namespace softunit {

namespace {

// The unit's end of a named pipe, with overlapped I/O so that every wait has a time-out and a
// host that closes the pipe is noticed at once.
class PipeStream : public Stream {
 public:
  explicit PipeStream(HANDLE pipe) : pipe_(pipe), event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeStream() override { CloseHandle(event_); }
  int64_t read_some(void* data, size_t size, int timeout_ms) override {
    if (!pending_) {
      OVERLAPPED fresh{};
      overlapped_ = fresh;
      overlapped_.hEvent = event_;
      buffer_.resize(size);
      DWORD got = 0;
      if (ReadFile(pipe_, buffer_.data(), static_cast<DWORD>(size), &got, &overlapped_)) return deliver(data, size, got);
      if (GetLastError() != ERROR_IO_PENDING) return -1;
      pending_ = true;
    }
    if (WaitForSingleObject(event_, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return 0;
    pending_ = false;
    DWORD got = 0;
    if (!GetOverlappedResult(pipe_, &overlapped_, &got, FALSE)) return -1;
    return deliver(data, size, got);
  }
  bool write_all(const void* data, size_t size) override {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    bool ok = WriteFile(pipe_, data, static_cast<DWORD>(size), &written, &overlapped) ||
              (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(pipe_, &overlapped, &written, TRUE));
    CloseHandle(overlapped.hEvent);
    return ok && written == size;
  }
  // Forgets a read left waiting by a host that went away.
  void abandon() {
    if (pending_) {
      CancelIo(pipe_);
      DWORD ignored = 0;
      GetOverlappedResult(pipe_, &overlapped_, &ignored, TRUE);
      pending_ = false;
    }
  }

 private:
  // A read started for a larger request may finish after a time-out: keep its bytes for the caller.
  int64_t deliver(void* data, size_t size, DWORD got) {
    const size_t n = got < size ? got : size;
    memcpy(data, buffer_.data(), n);
    return got == 0 ? -1 : static_cast<int64_t>(n);
  }
  HANDLE pipe_;
  HANDLE event_;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
  std::vector<unsigned char> buffer_;
};

std::atomic<int> pipe_counter{0};

class NamedPipe : public DeviceEndpoint {
 public:
  NamedPipe() {
    path_ = "\\\\.\\pipe\\efilink-softunit-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(pipe_counter++);
    pipe_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    connect_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stream_ = std::make_unique<PipeStream>(pipe_);
  }
  ~NamedPipe() override {
    stream_->abandon();
    if (connecting_) CancelIo(pipe_);
    stream_.reset();
    CloseHandle(connect_event_);
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  }
  std::string device_path() const override { return path_; }
  Stream* wait_for_host(int timeout_ms) override {
    if (connected_) return stream_.get();
    if (!connecting_) {
      OVERLAPPED fresh{};
      connect_ = fresh;
      connect_.hEvent = connect_event_;
      ResetEvent(connect_event_);
      if (ConnectNamedPipe(pipe_, &connect_) || GetLastError() == ERROR_PIPE_CONNECTED) {
        connected_ = true;
        return stream_.get();
      }
      if (GetLastError() != ERROR_IO_PENDING) {
        // A host that opened and closed the pipe before we listened: clear it for the next one.
        DisconnectNamedPipe(pipe_);
        return nullptr;
      }
      connecting_ = true;
    }
    if (WaitForSingleObject(connect_event_, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return nullptr;
    connecting_ = false;
    DWORD ignored = 0;
    if (!GetOverlappedResult(pipe_, &connect_, &ignored, FALSE)) {
      DisconnectNamedPipe(pipe_);
      return nullptr;
    }
    connected_ = true;
    return stream_.get();
  }
  void reset() override {
    stream_->abandon();
    DisconnectNamedPipe(pipe_);
    connected_ = false;
  }

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  HANDLE connect_event_ = nullptr;
  OVERLAPPED connect_{};
  std::string path_;
  bool connected_ = false;
  bool connecting_ = false;
  std::unique_ptr<PipeStream> stream_;
};

class SocketStream : public Stream {
 public:
  explicit SocketStream(SOCKET s) : socket_(s) {}
  ~SocketStream() override { closesocket(socket_); }
  int64_t read_some(void* data, size_t size, int timeout_ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &timeout);
    if (ready <= 0) return ready == 0 ? 0 : -1;
    const int got = recv(socket_, static_cast<char*>(data), static_cast<int>(size), 0);
    return got > 0 ? got : -1;
  }
  bool write_all(const void* data, size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const int sent = send(socket_, bytes, static_cast<int>(size), 0);
      if (sent <= 0) return false;
      bytes += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }

 private:
  SOCKET socket_;
};

class WinsockListener : public TcpListener {
 public:
  WinsockListener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (socket_ == INVALID_SOCKET || bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket_, 4) != 0 || getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
  }
  ~WinsockListener() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACleanup();
  }
  uint16_t port() const override { return port_; }
  std::unique_ptr<Stream> accept(int timeout_ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &timeout) <= 0) return nullptr;
    const SOCKET connection = ::accept(socket_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) return nullptr;
    BOOL one = TRUE;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return std::make_unique<SocketStream>(connection);
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<DeviceEndpoint> DeviceEndpoint::create() { return std::make_unique<NamedPipe>(); }
std::unique_ptr<TcpListener> TcpListener::create() { return std::make_unique<WinsockListener>(); }

std::unique_ptr<Stream> connect_loopback(uint16_t port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return nullptr;
  }
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return std::make_unique<SocketStream>(s);
}

}  // namespace softunit

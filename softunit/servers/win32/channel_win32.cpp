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
    note_sending();
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
    note_sending();
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
  WinsockListener(const std::string& host, uint16_t port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
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


// The unit's end of a serial line: a COM port (under Wine, a terminal device), polled for arriving
// bytes, written synchronously.
class ComStream : public Stream {
 public:
  explicit ComStream(HANDLE port) : port_(port) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // a read returns at once with what has arrived
    SetCommTimeouts(port_, &timeouts);
  }
  int64_t read_some(void* data, size_t size, int timeout_ms) override {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(port_, &errors, &status)) return -1;
      if (status.cbInQue > 0) {
        DWORD got = 0;
        const DWORD wanted = status.cbInQue < size ? status.cbInQue : static_cast<DWORD>(size);
        if (!ReadFile(port_, data, wanted, &got, nullptr)) return -1;
        if (got > 0) return got;
      }
      if (GetTickCount64() - start >= static_cast<ULONGLONG>(timeout_ms)) return 0;
      Sleep(1);
    }
  }
  bool write_all(const void* data, size_t size) override {
    note_sending();
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      DWORD written = 0;
      if (!WriteFile(port_, bytes, static_cast<DWORD>(size), &written, nullptr) || written == 0) return false;
      bytes += written;
      size -= written;
    }
    return true;
  }

 private:
  HANDLE port_;
};

std::atomic<int> line_counter{0};

// Under Wine: two pseudo-terminals joined by socat (a Unix program Wine starts as it is). The host
// opens one by its Z: path, the unit the other. Windows itself has no such thing.
class SocatLine : public DeviceEndpoint {
 public:
  static std::unique_ptr<SocatLine> create() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return nullptr;
    if (GetFileAttributesA("Z:\\usr\\bin\\socat") == INVALID_FILE_ATTRIBUTES) return nullptr;
    auto line = std::unique_ptr<SocatLine>(new SocatLine());
    return line->port_ != INVALID_HANDLE_VALUE ? std::move(line) : nullptr;
  }
  ~SocatLine() override {
    stream_.reset();
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    if (socat_.hProcess) {
      TerminateProcess(socat_.hProcess, 0);
      CloseHandle(socat_.hProcess);
      CloseHandle(socat_.hThread);
    }
  }
  std::string device_path() const override { return path_; }
  Stream* wait_for_host(int) override { return stream_.get(); }
  void reset() override { PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR); }

 private:
  SocatLine() {
    const std::string name = "/tmp/efilink-unit-line-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(line_counter++);
    // socat ends the pair once nothing has moved for ten seconds (no test leaves a line idle that
    // long): Wine cannot end a Unix program it started, and the test process waits for it at exit.
    std::string command =
        "Z:\\usr\\bin\\socat -T 10 PTY,link=" + name + "-host,raw,echo=0 PTY,link=" + name + "-unit,raw,echo=0";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &socat_)) {
      socat_ = PROCESS_INFORMATION{};
      return;
    }
    path_ = "Z:" + name + "-host";
    const std::string unit_path = "Z:" + name + "-unit";
    for (int tries = 0; port_ == INVALID_HANDLE_VALUE && tries < 150; ++tries) {
      port_ = CreateFileA(unit_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (port_ == INVALID_HANDLE_VALUE) Sleep(20);
    }
    if (port_ == INVALID_HANDLE_VALUE) return;
    DCB line{};
    line.DCBlength = sizeof line;
    if (GetCommState(port_, &line)) {
      line.BaudRate = 57600;
      line.ByteSize = 8;
      line.Parity = NOPARITY;
      line.StopBits = ONESTOPBIT;
      line.fOutxCtsFlow = line.fOutxDsrFlow = line.fOutX = line.fInX = FALSE;
      line.fBinary = TRUE;
      SetCommState(port_, &line);
    }
    stream_ = std::make_unique<ComStream>(port_);
  }
  PROCESS_INFORMATION socat_{};
  HANDLE port_ = INVALID_HANDLE_VALUE;
  std::string path_;
  std::unique_ptr<ComStream> stream_;
};

}  // namespace

std::unique_ptr<DeviceEndpoint> DeviceEndpoint::create() { return std::make_unique<NamedPipe>(); }
std::unique_ptr<DeviceEndpoint> DeviceEndpoint::create_serial_line() { return SocatLine::create(); }
std::unique_ptr<TcpListener> TcpListener::create(const std::string& host, uint16_t port) {
  return std::make_unique<WinsockListener>(host, port);
}

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

// The TCP stream and the TLS stream of a socket layer that keeps each socket's
// state itself, TLS included. Both front ends keep it so: a TLS socket's
// readiness is made from the socket's own, in the same poll loop or window,
// and the state of the handshake and of the decrypted bytes sits beside the
// socket's. A stream is then a view of one socket: the TCP stream moves the
// socket's bytes, and the TLS stream is the same socket once TLS has started
// on it, when the layer hands out decrypted bytes for it.
//
// A socket layer implements the operations on one socket below; OpenStream
// and OpenTlsStream are done here once for every such layer.
#pragma once

#include <memory>
#include <utility>

#include "host/host.h"

namespace tv {

class SocketLayer : public Sockets {
 public:
  // The operations of the stream of socket s (see Stream and TlsStream):
  // once StartTls has been called on s, they carry the decrypted bytes.
  virtual int Send(Socket s, const char* data, int len) = 0;  // -1 on failure
  virtual int Recv(Socket s, char* buf, int len) = 0;         // -1 on failure
  virtual bool BytesAvailable(Socket s, unsigned long& count) = 0;
  virtual bool PeerHasClosed(Socket s) = 0;
  // Both directions; with TLS after the close alert.
  virtual void Shutdown(Socket s) = 0;
  // TLS on s: StartTls begins the handshake and takes its first step, TlsStep
  // takes the next ones, TlsDescribe names what was agreed, TlsFault tells how
  // the decrypted stream ended (false on a socket without TLS).
  virtual TlsStatus StartTls(Socket s, const TlsOptions& options, TlsError& error) = 0;
  virtual TlsStatus TlsStep(Socket s, TlsError& error) = 0;
  virtual bool TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) = 0;
  virtual bool TlsFault(Socket s, TlsError& error) = 0;

  std::unique_ptr<Stream> OpenStream(Socket s) override;
  std::unique_ptr<TlsStream> OpenTlsStream(std::unique_ptr<Stream> tcp, const TlsOptions& options,
                                           TlsStatus& status, TlsError& error) override;
};

// One connected socket of a SocketLayer.
class SocketStream final : public Stream {
 public:
  SocketStream(SocketLayer& layer, Socket s) : layer_(layer), s_(s) {}
  ~SocketStream() override {
    if (s_ != kInvalidSocket) layer_.Close(s_);
  }
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  uintptr_t Id() const override { return static_cast<uintptr_t>(s_); }
  bool Watch(uint32_t msg, long events) override { return layer_.AsyncSelect(s_, msg, events); }
  bool Available(unsigned long& count) override { return layer_.BytesAvailable(s_, count); }
  int Read(char* buf, int len) override { return layer_.Recv(s_, buf, len); }
  int Write(const char* data, int len) override { return layer_.Send(s_, data, len); }
  int LastError() override { return layer_.LastError(); }
  bool PeerHasClosed() override { return layer_.PeerHasClosed(s_); }
  void Close() override {
    if (s_ == kInvalidSocket) return;
    layer_.Shutdown(s_);
    layer_.Close(s_);
    s_ = kInvalidSocket;
  }

  SocketLayer& Layer() const { return layer_; }
  Socket Handle() const { return s_; }

 private:
  SocketLayer& layer_;
  Socket s_;
};

// TLS over a SocketStream, which it owns: the bytes go through the same
// socket, which the layer has switched over to decrypted ones.
class SocketTlsStream final : public TlsStream {
 public:
  explicit SocketTlsStream(std::unique_ptr<SocketStream> tcp) : tcp_(std::move(tcp)) {}

  uintptr_t Id() const override { return tcp_->Id(); }
  bool Watch(uint32_t msg, long events) override { return tcp_->Watch(msg, events); }
  bool Available(unsigned long& count) override { return tcp_->Available(count); }
  int Read(char* buf, int len) override { return tcp_->Read(buf, len); }
  int Write(const char* data, int len) override { return tcp_->Write(data, len); }
  int LastError() override { return tcp_->LastError(); }
  bool PeerHasClosed() override { return tcp_->PeerHasClosed(); }
  void Close() override { tcp_->Close(); }
  TlsStatus Step(TlsError& error) override { return tcp_->Layer().TlsStep(tcp_->Handle(), error); }
  bool Describe(Bytes& protocol, Bytes& cipher) override {
    return tcp_->Layer().TlsDescribe(tcp_->Handle(), protocol, cipher);
  }
  bool Fault(TlsError& error) override { return tcp_->Layer().TlsFault(tcp_->Handle(), error); }

 private:
  std::unique_ptr<SocketStream> tcp_;
};

inline std::unique_ptr<Stream> SocketLayer::OpenStream(Socket s) {
  return std::make_unique<SocketStream>(*this, s);
}

// tcp must be a stream that OpenStream of this layer made.
inline std::unique_ptr<TlsStream> SocketLayer::OpenTlsStream(std::unique_ptr<Stream> tcp,
                                                             const TlsOptions& options,
                                                             TlsStatus& status, TlsError& error) {
  std::unique_ptr<SocketStream> own(static_cast<SocketStream*>(tcp.release()));
  status = StartTls(own->Handle(), options, error);
  return std::make_unique<SocketTlsStream>(std::move(own));
}

}  // namespace tv

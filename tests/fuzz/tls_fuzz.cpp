// The TLS client against a hostile peer held in memory: the input is what
// the "server" sends, in pieces. Byte 0 chooses verification or not; then
// each piece is a length byte and that many bytes. The session must fail or
// go on, never crash, and what it produces for the peer must stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "check.h"
#include "posix/tls.h"

// The system's trust store is read anew for every session, which costs far more
// than the handshake itself; no forged chain verifies against it anyway. With
// an empty store the verifying sessions still run every path up to the
// verdict, a thousand times a second instead of twenty.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("SSL_CERT_FILE", "/nonexistent/tarvelin-fuzz.pem", 1);
  setenv("SSL_CERT_DIR", "/nonexistent/tarvelin-fuzz", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  tv::TlsOptions options;
  options.role = tv::TlsRole::Client;
  options.noVerify = (data[0] & 1) != 0;
  if (data[0] & 2) {
    options.serverName = "server.test";
  } else {
    options.peerAddress = "127.0.0.1";
  }
  tv::TlsError error;
  auto session = tv::posix::TlsSession::Create(options, error);
  if (!session) return 0;  // no default store: nothing to fuzz
  tv::TlsStatus status = session->Handshake(error);
  FUZZ_CHECK(status == tv::TlsStatus::Pending);
  FUZZ_CHECK(session->OutgoingSize() > 0);  // the hello
  session->TakeOutgoing(session->OutgoingSize());

  size_t i = 1;
  while (i < size && status != tv::TlsStatus::Failed) {
    const size_t len = data[i++];
    const size_t n = len < size - i ? len : size - i;
    session->PutIncoming(reinterpret_cast<const char*>(data + i), n);
    i += n;
    if (status == tv::TlsStatus::Pending) {
      status = session->Handshake(error);
      if (status == tv::TlsStatus::Failed) {
        FUZZ_CHECK(error.failure != tv::TlsFailure::None);
      }
    } else {
      session->Decrypt(1024);
      char buf[512];
      while (session->TakePlain(buf, sizeof buf) > 0) {
      }
      session->Write("ping\r\n", 6);
    }
    const size_t out = session->OutgoingSize();
    if (out > 0) {
      session->TakeOutgoing(out / 2);
      FUZZ_CHECK(session->OutgoingSize() == out - out / 2);
      session->TakeOutgoing(session->OutgoingSize());
    }
    FUZZ_CHECK(session->OutgoingSize() == 0);
  }
  if (session->Established()) session->Close();
  return 0;
}

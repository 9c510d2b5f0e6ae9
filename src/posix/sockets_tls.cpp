#include "posix/sockets.h"

namespace tv::posix {

TlsStatus PosixSockets::StartTls(Socket, const TlsOptions&, TlsError& error) {
  error.failure = TlsFailure::NotAvailable;
  return TlsStatus::Failed;
}

TlsStatus PosixSockets::TlsStep(Socket, TlsError& error) {
  error.failure = TlsFailure::NotAvailable;
  return TlsStatus::Failed;
}

bool PosixSockets::TlsDescribe(Socket, Bytes&, Bytes&) {
  return false;
}

}  // namespace tv::posix

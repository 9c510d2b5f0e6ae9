// PKCS#12 files for the system's security package. Schannel does the work of
// a private key in the system's security service, a process of its own that
// cannot reach a key held only in this one: so each key of the file is stored
// in a key container of the current user (one the system names for the
// import) while the program uses it, and deleted when it is done.
#pragma once

#include "win32/winapi.h"

#include <wincrypt.h>

#include <string>

namespace tv::win {

// The file's certificates, their private keys stored for the current user
// (even where the file asks for the machine's store); null, with the
// system's code in lastError, when the file cannot be imported. A file
// without a password is tried with the empty one and with none.
HCERTSTORE ImportPfx(CRYPT_DATA_BLOB& pfx, const std::wstring& password, DWORD& lastError);

// Deletes the key containers that the store's certificates name, each once,
// when nothing uses the keys any more (the credentials made from them have
// been freed); how many were deleted. The store itself stays open.
int DeleteImportedKeys(HCERTSTORE store);

}  // namespace tv::win

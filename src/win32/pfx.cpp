#include "win32/pfx.h"

#include <ncrypt.h>

#include <utility>
#include <vector>

namespace tv::win {

namespace {

// The certificate's CERT_KEY_PROV_INFO_PROP_ID (a CRYPT_KEY_PROV_INFO and the
// strings it points to), empty when it has none.
std::vector<BYTE> KeyProviderInfo(PCCERT_CONTEXT c) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return {};
  std::vector<BYTE> info(size);
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size)) {
    return {};
  }
  return info;
}

// A key of a CryptoAPI provider: the container goes with it.
bool DeleteProviderContainer(const CRYPT_KEY_PROV_INFO& info) {
  HCRYPTPROV unused = 0;
  return CryptAcquireContextW(&unused, info.pwszContainerName, info.pwszProvName, info.dwProvType,
                              CRYPT_DELETEKEYSET | (info.dwFlags & CRYPT_MACHINE_KEYSET)) != FALSE;
}

// A key of a CNG key storage provider (provider type 0). Such a key is
// opened by its name alone; one the provider keeps for a CryptoAPI
// container needs its legacy key type too.
bool DeleteStorageProviderKey(const CRYPT_KEY_PROV_INFO& info) {
  NCRYPT_PROV_HANDLE provider = 0;
  if (NCryptOpenStorageProvider(&provider, info.pwszProvName, 0) != ERROR_SUCCESS) return false;
  const DWORD flags = (info.dwFlags & NCRYPT_MACHINE_KEY_FLAG) | NCRYPT_SILENT_FLAG;
  NCRYPT_KEY_HANDLE key = 0;
  SECURITY_STATUS opened = NCryptOpenKey(provider, &key, info.pwszContainerName, 0, flags);
  if (opened != ERROR_SUCCESS && info.dwKeySpec != 0) {
    opened = NCryptOpenKey(provider, &key, info.pwszContainerName, info.dwKeySpec, flags);
  }
  bool deleted = false;
  if (opened == ERROR_SUCCESS) {
    // A key deleted is freed with it.
    deleted = NCryptDeleteKey(key, NCRYPT_SILENT_FLAG) == ERROR_SUCCESS;
    if (!deleted) NCryptFreeObject(key);
  }
  NCryptFreeObject(provider);
  return deleted;
}

}  // namespace

HCERTSTORE ImportPfx(CRYPT_DATA_BLOB& pfx, const std::wstring& password, DWORD& lastError) {
  // Not PKCS12_NO_PERSIST_KEY: a key only in this process is one Schannel
  // cannot use for a server. Exportable for security packages that hand the
  // key to a library of their own. A CNG key storage provider first: with a
  // key of an older CryptoAPI provider Schannel cannot sign with RSA-PSS,
  // which TLS 1.3 asks for; the older providers serve systems without CNG.
  const DWORD kStored = CRYPT_EXPORTABLE | CRYPT_USER_KEYSET;
  for (DWORD flags : {kStored | PKCS12_ALWAYS_CNG_KSP, kStored}) {
    HCERTSTORE store = PFXImportCertStore(&pfx, password.c_str(), flags);
    if (!store && password.empty()) store = PFXImportCertStore(&pfx, nullptr, flags);
    if (store) {
      lastError = 0;
      return store;
    }
    lastError = GetLastError();
    if (lastError == ERROR_INVALID_PASSWORD) break;
  }
  return nullptr;
}

int DeleteImportedKeys(HCERTSTORE store) {
  std::vector<std::pair<std::wstring, std::wstring>> done;  // container, provider
  int deleted = 0;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
    std::vector<BYTE> bytes = KeyProviderInfo(c);
    if (bytes.empty()) continue;
    const auto& info = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
    if (!info.pwszContainerName) continue;
    std::pair<std::wstring, std::wstring> name(info.pwszContainerName,
                                               info.pwszProvName ? info.pwszProvName : L"");
    bool seen = false;
    for (const auto& d : done) seen = seen || d == name;
    if (seen) continue;
    done.push_back(name);
    if (info.dwProvType != 0 ? DeleteProviderContainer(info) : DeleteStorageProviderKey(info)) {
      ++deleted;
    }
  }
  return deleted;
}

}  // namespace tv::win

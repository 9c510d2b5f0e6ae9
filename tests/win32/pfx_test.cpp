// The server's PKCS#12 keys: stored where the system's security package can
// use them while a channel lives, and gone from the user's key containers
// once it has ended.
#include "win32/winapi.h"

#include <gtest/gtest.h>
#include <ncrypt.h>

#include <algorithm>
#include <string>
#include <vector>

#include "win32/pfx.h"
#include "win32/text.h"
#include "win32/tls.h"

using tv::Bytes;
using namespace tv::win;

namespace {

// A certificate for localhost with its 2048-bit RSA key, in a PKCS#12 file
// with the empty password (made for this test alone).
const char kLocalhostPfx[] =
    "MIIKDwIBAzCCCcUGCSqGSIb3DQEHAaCCCbYEggmyMIIJrjCCBCIGCSqGSIb3DQEHBqCCBBMwggQPAgEAMIIECAYJKoZI"
    "hvcNAQcBMFcGCSqGSIb3DQEFDTBKMCkGCSqGSIb3DQEFDDAcBAjBj7WZK8l4vAICCAAwDAYIKoZIhvcNAgkFADAdBglg"
    "hkgBZQMEASoEEJYoPd2Ia1hv4Z/CV//+Um+AggOge5ahltQ9lXEc/tVRrdw9TKmR4a6vRi0L64h8UZYAGs9JoKFgtN+P"
    "IYT8DErsx1hf38Wrk8M8iPdlHdRTAhifd8ZUNl1PI62fAGSMMvY6WGl2k5/Q1FJWiYaHOqYvMKVXo2snZVLDHfsbe3gm"
    "Mv7rCGhnfEFZv/gZ8I4ySGEsI3YZmGhk1uO6IVFeuCQRTaXvSq5iZQI8kt05ezUiIPveEvd378uWYIExG+tZYJorYd/C"
    "Y7QIG5Y9cmlZ7fKIUy1PVIrXCRAxpsb7oy0V6HH+OnM1LRSaLR8paPOOcIt2j9AQJ1yD0mysRY3rVyFWpuvZBsOi4Qq2"
    "VzrOS0GoOuRXPgoSXRQ6B5u/oFZrcO75N9I9XGVMTXMForMV40QhcL5479rN/vlJO+9w5XD5gBv6osS7GX1WxqsSyU1N"
    "/VMCtt+yCjiAndfxM3VpyNuWuxIRyV0Yrrquv04NbXW2Fu43/NCPlM6G3HnpBipzjaluAW0RcF3VHQKA0QPT7JYGrGty"
    "SH8J+BPQWiebV3nXGPW9jeIRa7crSAQehfNhcUtpeO+ICeEeBeEodo4bI4p+QYV7UsfeqSs62s6kd43a9Mve3MX3I6zz"
    "MSQQpKlX/cRNbdRBXcBblUlOWWrQbIXDWZODgq5bzGQ9gtxS7G6t0Mr3UdlUBWi3HGy6mOud8jSATTfTbh4Ap8BxLUvg"
    "Ev8T79MkP56d9zL3oWPcq1CyahNbBYIMOI+9NLAhh+rQ4o5pzTPU70FNa1ancTwQ/lfCJxl7B9XXEc8BTDoWRngCrI+a"
    "y7qot6gckDTueWxX9y6EvDlahzjsZn8Y4nwSzh7EoVKntM6nlJBBofG7nYpdl/HoDaMNI2FzZIZMQSPh8zR0AAYOfCR4"
    "PqA3wQS+hB3dMsWIpMiS16Yc2cNn7HqBWLtOJ2mm6GFs5vYtivD+ciaunzhB73/JAANNcEg9/G+hCsONtXrh2LksdFlp"
    "bGUvAHk6EfmjMqHEQj+x2ndicpn1Z9D/3BMXO6vdLFj6YNTGIPWfbU2AcBIamqMEm9wPwQMrrVd66siHpMIFrVl+Shte"
    "9kejDjYLn4xz4pJFQrJmIpQvCT/AW4wuV8ngipaYWQ479rqfsmoVVXOIjhpaZf5nMxPKR7eaMSA85bqoICIIbdfr+Rcg"
    "/WSNzF59BH2+B0GU3umSP77+1uQuB94+yg95Pmsl/cb8xxb6pQnkQL4h9MdULAePZgLcmEATnp+v+s9kUzCCBYQGCSqG"
    "SIb3DQEHAaCCBXUEggVxMIIFbTCCBWkGCyqGSIb3DQEMCgECoIIFMTCCBS0wVwYJKoZIhvcNAQUNMEowKQYJKoZIhvcN"
    "AQUMMBwECNcMj97yrJW9AgIIADAMBggqhkiG9w0CCQUAMB0GCWCGSAFlAwQBKgQQVf7OgqiMfOwmMxKtsJ9FhgSCBNCp"
    "DBIlD+EDe3LTAYo4jADDe+Kt48Dwc29vUVP/O5n+DzgfHwyNgrNpQbblfapJv1aopwGTYXTzTlRGLY6gT3ZadvuQhHz7"
    "RXifBHD63+KSeZ/g43NTiQaPYZUAVVD7rR0Amh7FConIxSaIe3o+Dt8ESiIZ0kitFQogw3F8xNJ+SrsGnktwgwyMvufL"
    "45s4sSnQYTzDJ+yVxPfGzjdIKKycrZZpkJkIKK5cu1YfwZDKExymJv+7DBNAOCutIvBw1M3qqxWlj1X9o9CzsJmQmmwp"
    "lAiD3NLojWm3IF4SJXeUfyUQFZi/pUQFQwtjTzpvhul73ocE7zMxme97l+cHUl0TZNojrF11hPEmTAaGHn/wD3qKMrFl"
    "rNXr3jRlk0GUKbBGT+7eduLcLmbBQhNzWNw1Fxq22LbDpZmn5Ke1jPl7RuqUSHpkiH1k/+elOaMyC8HS+P2uG1Cr+qhF"
    "fNedfTSaMHYA30K5WMY/5sPXWPCfY9TSPW0a1Ixlozj6UU/jkU3m/FNVY8W4CvlmoylUOK41a57BhjhPV5IUxdvorSNf"
    "fyaiYFhfif3iQyPYLZE61NU8RD15c4b7HbLfXz3p+a6VC2HyqjauqNBWxzH1T8ReeSe/N6j49yg+xJKSEFjUcYkPZn8p"
    "CaQZZ0DVaht55zAUpgfd26nxJPtAd+JdDIozQfeSskCHmM2fTVCBwFp1xUqpQvmPxEioCswTUvsIq3YiufeFW3sy8ucd"
    "exumCvHYjc4nfyvCs0JeyF2XKLUGtBdayh1mpxMqokxV6ULGyNmBc1aC+urm/t+3LzgfpjrIa1usEloQoEPdI54R2K3f"
    "GwPYETy9jLmas5YdINB9e2qu7zYe/txl9tCv0YqzQFwywwWxNNq09uWkV+l65FatiJr6D+bqSV/HHIl3m9ww4z1PnS02"
    "ofgGDSXiVlHdFOCOp5xDbDpyKr8rwKPwJoAkdjaKdPYVZTZ6+RsznDUnmCsfwCxRyMgN9zRmyQ1VBzkfgrjHxc9UE+vX"
    "DBNhMaDy5ZFow0z5zzUH6SEj19o8UeZfTDpYvoaGeapgeHn0suNEreioNkmra3qltmLUq4DCPMnqqqqSlom9g9Pf3qS7"
    "/LxMVqlgl6Rl73JnU2aQcVekV4GSXpIteo2RrdOZR6pM23RFe8vg9ZnzgUGQgLijdTzz5QDMrVOLRtWQCnxvPb7v6Yi7"
    "UNyb5QgXnuQmfTXzPrCiDwt6v2Ws5oA1V0vXj0Rh+weW4HFmU3PJsbOztfqN7QwAZWZv+o0ZVsomGYHjzuPfol5SFwPu"
    "ru9GIdXfglFj7gxerbuhNXIf8Smho6QRLtf4q7RgONTF1sVyaxXBCW+D8AA2WZU/mU+2QuCcphsMD3mqAYi/DWoxjtNY"
    "WRvoALJaW+McBgJiTUgGkd9dg3EyyHSDtYubZ8dmWxS1SN9ekLKsENAt47WNlLNKu7n7AO3d0RFgOOglOtxcw4unapXu"
    "lyjXNMjO49NHS1rpcwiSESc+af3/a+vobNWFu/e1IC7M8Qgp+dTNXl2Q9kkRJ3q07SqFqLdCC8+6qBDyXew4OXwUVf9y"
    "SeEk+057AnsRfSvaIQy0TWf9WbXhs0p2mWDsLY85GbqposrwWvvBa6819iU+2R6A6iZYK/WR3q9Q4TElMCMGCSqGSIb3"
    "DQEJFTEWBBQ+2bWwUqoJkXNJF+R3LT1KW7RBOjBBMDEwDQYJYIZIAWUDBAIBBQAEIHxlRTt5olHtFj76eNH/eTzv3/F+"
    "QCUcf9O/RuZozzSQBAgbnnJZXILw7wICCAA=";

std::vector<BYTE> LocalhostPfx() {
  DWORD size = 0;
  CryptStringToBinaryA(kLocalhostPfx, 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr);
  std::vector<BYTE> der(size);
  EXPECT_TRUE(CryptStringToBinaryA(kLocalhostPfx, 0, CRYPT_STRING_BASE64, der.data(), &size,
                                   nullptr, nullptr));
  return der;
}

std::vector<BYTE> KeyProviderInfo(PCCERT_CONTEXT c) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return {};
  std::vector<BYTE> info(size);
  CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size);
  return info;
}

// Whether the key that the provider information names can still be opened.
bool KeyExists(const std::vector<BYTE>& bytes) {
  const auto& info = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
  if (info.dwProvType != 0) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, info.pwszContainerName, info.pwszProvName, info.dwProvType,
                              CRYPT_SILENT | (info.dwFlags & CRYPT_MACHINE_KEYSET))) {
      return false;
    }
    CryptReleaseContext(prov, 0);
    return true;
  }
  NCRYPT_PROV_HANDLE prov = 0;
  if (NCryptOpenStorageProvider(&prov, info.pwszProvName, 0) != ERROR_SUCCESS) return false;
  NCRYPT_KEY_HANDLE key = 0;
  const bool opened =
      NCryptOpenKey(prov, &key, info.pwszContainerName, 0, NCRYPT_SILENT_FLAG) == ERROR_SUCCESS;
  if (opened) NCryptFreeObject(key);
  NCryptFreeObject(prov);
  return opened;
}

// The names of the current user's key containers of the system's RSA
// providers, sorted.
std::vector<std::string> UserKeyContainers() {
  std::vector<std::string> names;
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    ADD_FAILURE() << "no RSA provider: " << GetLastError();
    return names;
  }
  char name[1024];
  DWORD size = sizeof name;
  for (DWORD flags = CRYPT_FIRST;
       CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags);
       flags = CRYPT_NEXT, size = sizeof name) {
    names.emplace_back(name);
  }
  CryptReleaseContext(prov, 0);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Pfx, ImportedKeysAreStoredAndUsableUntilDeleted) {
  std::vector<BYTE> der = LocalhostPfx();
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(der.size()), der.data()};
  DWORD lastError = 0;
  HCERTSTORE store = ImportPfx(blob, L"", lastError);
  ASSERT_TRUE(store != nullptr) << SystemErrorText(lastError);
  PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_TRUE(cert != nullptr);
  // Stored: the certificate names a container, not a key held in memory.
  const std::vector<BYTE> info = KeyProviderInfo(cert);
  ASSERT_FALSE(info.empty());
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  DWORD keyKind = 0;
  BOOL mustFree = FALSE;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(
      cert, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG, nullptr, &key,
      &keyKind, &mustFree));
  if (mustFree && keyKind == CERT_NCRYPT_KEY_SPEC) NCryptFreeObject(key);
  if (mustFree && keyKind != CERT_NCRYPT_KEY_SPEC) CryptReleaseContext(key, 0);
  EXPECT_TRUE(KeyExists(info));

  EXPECT_EQ(DeleteImportedKeys(store), 1);
  EXPECT_FALSE(KeyExists(info));
  // Nothing is left to delete, and that is no failure.
  EXPECT_EQ(DeleteImportedKeys(store), 0);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

TEST(Pfx, ServerChannelLeavesTheUsersKeyContainersAsTheyWere) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path =
      std::wstring(folder) + L"tvpfx" + std::to_wstring(GetCurrentProcessId()) + L".p12";
  const std::vector<BYTE> der = LocalhostPfx();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_TRUE(f != INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(f, der.data(), static_cast<DWORD>(der.size()), &written, nullptr);
  CloseHandle(f);

  const std::vector<std::string> before = UserKeyContainers();
  tv::TlsOptions options;
  options.role = tv::TlsRole::Server;
  options.certFile = FromWide(path);
  tv::TlsError error;
  std::unique_ptr<TlsChannel> channel = TlsChannel::Create(options, error);
  ASSERT_TRUE(channel != nullptr) << error.reason;
  EXPECT_EQ(UserKeyContainers().size(), before.size() + 1);
  channel.reset();
  EXPECT_EQ(UserKeyContainers(), before);
  DeleteFileW(path.c_str());
}

}  // namespace

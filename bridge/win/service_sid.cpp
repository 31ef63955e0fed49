#include "bridge/win/service_sid.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <cwchar>

namespace {

constexpr size_t kLongestName = 256;
constexpr ULONG kSha1Bytes = 20;

// SHA-1 from the system's own provider (CNG): no hash of our own.
bool Sha1(const void* data, ULONG size, uint8_t (&digest)[kSha1Bytes]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0);
  if (status < 0) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  if (status >= 0) {
    status = BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0);
    if (status >= 0) status = BCryptFinishHash(hash, digest, kSha1Bytes, 0);
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (status < 0) SetLastError(static_cast<DWORD>(status));
  return status >= 0;
}

}  // namespace

bool ServiceSidText(const wchar_t* serviceName, wchar_t (&out)[kServiceSidTextUnits]) {
  out[0] = L'\0';
  size_t length = serviceName ? std::wcslen(serviceName) : 0;
  if (length == 0 || length > kLongestName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The service manager upper-cases the name without regard to the locale.
  wchar_t upper[kLongestName + 1];
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, serviceName, static_cast<int>(length),
                    upper, static_cast<int>(kLongestName), nullptr, nullptr, 0) != static_cast<int>(length)) {
    return false;
  }
  // wchar_t is UTF-16LE on Windows: the bytes are hashed as they lie.
  uint8_t digest[kSha1Bytes];
  if (!Sha1(upper, static_cast<ULONG>(length * sizeof(wchar_t)), digest)) return false;
  uint32_t parts[5];
  for (int i = 0; i < 5; ++i) {
    parts[i] = static_cast<uint32_t>(digest[4 * i]) | static_cast<uint32_t>(digest[4 * i + 1]) << 8 |
               static_cast<uint32_t>(digest[4 * i + 2]) << 16 |
               static_cast<uint32_t>(digest[4 * i + 3]) << 24;
  }
  std::swprintf(out, kServiceSidTextUnits, L"S-1-5-80-%u-%u-%u-%u-%u", parts[0], parts[1], parts[2],
                parts[3], parts[4]);
  return true;
}

// Digests through Windows' CNG primitives (bcrypt.dll), present since Vista.
#include <windows.h>
#include <bcrypt.h>

#include "platform/digest.h"

namespace lanfeng {

bool ComputeMd5(const std::string& data, Md5Digest* digest) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
    return false;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes at most 4 GiB a call; texts are far smaller, but
  // feed it in pieces all the same.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data.data());
  size_t left = data.size();
  while (ok && left > 0) {
    ULONG piece = left > 0x40000000 ? 0x40000000 : static_cast<ULONG>(left);
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes), piece, 0));
    bytes += piece;
    left -= piece;
  }
  ok = ok && BCRYPT_SUCCESS(
                 BCryptFinishHash(hash, digest->data(), static_cast<ULONG>(digest->size()), 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

}  // namespace lanfeng

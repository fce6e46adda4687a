// Digests through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "platform/digest.h"

namespace lanfeng {

bool ComputeMd5(const std::string& data, Md5Digest* digest) {
  unsigned int length = 0;
  return EVP_Digest(data.data(), data.size(), digest->data(), &length, EVP_md5(), nullptr) == 1 &&
         length == digest->size();
}

}  // namespace lanfeng

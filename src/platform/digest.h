// Message digests from the system's cryptography: OpenSSL on Linux
// (posix/digest_openssl.cc), the CNG primitives on Windows
// (win32/digest_bcrypt.cc).
#pragma once

#include <array>
#include <string>

namespace lanfeng {

using Md5Digest = std::array<unsigned char, 16>;

// The MD5 digest of data's bytes. False (and *digest unspecified) when the
// system could not compute it. Any thread may call it.
bool ComputeMd5(const std::string& data, Md5Digest* digest);

}  // namespace lanfeng

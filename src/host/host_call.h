// The calling convention of host functions and of our entry points: the
// Windows API convention on 32-bit Windows, the platform's own elsewhere.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(_WIN32) && !defined(_WIN64)
#define HOST_CALL __stdcall
#else
#define HOST_CALL
#endif

namespace lanfeng {

// The address of a host function as a host hands it over: pointer-sized, so
// 32 bits under the 32-bit Windows hosts and 64 bits here.
using HostAddress = uintptr_t;

#if defined(_WIN32) && !defined(_WIN64)
// Calls fn with `count` 32-bit argument words pushed last to first, and
// restores the stack pointer afterwards whether fn removed its arguments
// (the Windows API convention) or left them (C's). EDX:EAX as fn left them.
extern "C" uint64_t lanfeng_guarded_host_call(HostAddress fn, const uint32_t* words, uint32_t count);
#endif

// A host function of the XiaoLiZi or dulu host, at the address the host
// handed over, typed as Fn = R(HOST_CALL*)(A...). Those hosts promise no
// calling convention, so on 32-bit Windows a call goes through a guard that
// restores the caller's stack whichever convention the function uses; the
// arguments are laid out as the Windows API convention lays them out (each
// in 32-bit words, a 64-bit integer low word first). Elsewhere the one
// convention of the platform applies and the call is a plain typed call.
template <typename Fn>
class HostFunction;

template <typename R, typename... A>
class HostFunction<R(HOST_CALL*)(A...)> {
 public:
  explicit HostFunction(HostAddress address = 0) : address_(address) {}
  explicit operator bool() const { return address_ != 0; }

  R operator()(A... args) const {
#if defined(_WIN32) && !defined(_WIN64)
    static_assert(((std::is_integral<A>::value || std::is_pointer<A>::value) && ...),
                  "host functions take integers and pointers");
    static_assert(((sizeof(A) == 4 || sizeof(A) == 8) && ...), "arguments are 32 or 64 bits");
    uint32_t words[(sizeof(A) + ... + 0) / 4 + 1] = {};
    size_t at = 0;
    ((std::memcpy(words + at, &args, sizeof(A)), at += sizeof(A) / 4), ...);
    const uint64_t answer = lanfeng_guarded_host_call(address_, words, static_cast<uint32_t>(at));
    if constexpr (std::is_void<R>::value) {
      return;
    } else {
      static_assert(sizeof(R) == 4 || sizeof(R) == 8, "answers are 32 or 64 bits");
      R result;
      if constexpr (sizeof(R) == 4) {
        const uint32_t low = static_cast<uint32_t>(answer);
        std::memcpy(&result, &low, sizeof result);
      } else {
        std::memcpy(&result, &answer, sizeof result);
      }
      return result;
    }
#else
    return reinterpret_cast<R(HOST_CALL*)(A...)>(address_)(args...);
#endif
  }

 private:
  HostAddress address_;
};

}  // namespace lanfeng

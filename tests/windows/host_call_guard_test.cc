// The guard around the XiaoLiZi and dulu hosts' functions: a function that
// leaves its arguments on the stack (C's convention) and one that removes
// them (the Windows API's) are both called through the same typed
// HostFunction, get every argument in place, answer in full, and leave the
// caller's stack as it was, call after call.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "check.h"
#include "host/host_call.h"

namespace {

using lanfeng::HostAddress;
using lanfeng::HostFunction;

using Text = const char*;
// The shape of the hosts' functions: a text, 64- and 32-bit integers, an
// output pointer; answers of 32 and 64 bits and none.
using Mixed = int64_t(HOST_CALL*)(Text, int64_t, int32_t, int64_t*);
using Answer = Text(HOST_CALL*)(Text, int32_t);
using Nothing = void(HOST_CALL*)(int32_t*, int32_t);

std::string seen;

int64_t __cdecl MixedC(Text text, int64_t wide, int32_t narrow, int64_t* out) {
  seen = text;
  *out = wide + narrow;
  return wide * 3;
}
int64_t __stdcall MixedStd(Text text, int64_t wide, int32_t narrow, int64_t* out) {
  return MixedC(text, wide, narrow, out);
}
Text __cdecl AnswerC(Text text, int32_t skip) { return text + skip; }
Text __stdcall AnswerStd(Text text, int32_t skip) { return text + skip; }
void __cdecl NothingC(int32_t* out, int32_t value) { *out = value; }
void __stdcall NothingStd(int32_t* out, int32_t value) { *out = value; }

template <typename F>
HostAddress AddressOf(F* fn) {
  return reinterpret_cast<HostAddress>(fn);
}

// Calls the three shapes many times with locals live across the calls; a
// stack left off by even one word would corrupt them or the return path.
void CallMany(HostAddress mixed_address, HostAddress answer_address, HostAddress nothing_address,
              const char* convention) {
  HostFunction<Mixed> mixed(mixed_address);
  HostFunction<Answer> answer(answer_address);
  HostFunction<Nothing> nothing(nothing_address);
  volatile int64_t guard_before = 0x1122334455667788LL;
  bool all_right = true;
  for (int32_t i = 0; i < 10000; ++i) {
    int64_t out = 0;
    const int64_t wide = (int64_t{1} << 40) + i;
    all_right &= mixed("text", wide, -i, &out) == wide * 3;
    all_right &= out == wide - i;
    all_right &= std::strcmp(answer("abcdef", 2), "cdef") == 0;
    int32_t value = 0;
    nothing(&value, i);
    all_right &= value == i;
  }
  volatile int64_t guard_after = 0x1122334455667788LL;
  std::printf("%s: %s\n", convention, all_right ? "all calls right" : "WRONG");
  CHECK(all_right);
  CHECK(seen == "text");
  CHECK(guard_before == guard_after);
}

}  // namespace

int main() {
  CallMany(AddressOf(MixedC), AddressOf(AnswerC), AddressOf(NothingC), "C convention");
  CallMany(AddressOf(MixedStd), AddressOf(AnswerStd), AddressOf(NothingStd), "Windows API convention");
  // An address of zero is a missing function: false, never called.
  CHECK(!HostFunction<Mixed>(0));
  return wintest::Finish();
}

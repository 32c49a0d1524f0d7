// The replaceable system-call table of fault-injection builds.
#ifdef LZRING_FAULT_INJECTION

#include "platform/system_calls.h"

namespace lzring::sys {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

const Table kReal = {RealOpen, ::read, ::write, ::close};
Table g_table = kReal;

}  // namespace

Table& Calls() {
  return g_table;
}
const Table& RealCalls() {
  return kReal;
}

}  // namespace lzring::sys

#endif

// Catching crashes in tests (see crash_testing.h).
#include "runtime/crash/crash_testing.h"

#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vlm/crash.h"

namespace vellum::testing {
namespace {

sigjmp_buf gResume;

// The faulting store of the crash primitive is "mov [mem], r32" (89 /r) or,
// with a constant line value, "mov dword [mem], imm32" (C7 /0), with an
// optional REX prefix and any memory operand form. Returns false for
// anything else.
bool DecodeStoredValue(const ucontext_t* context, int64_t* value) {
  static const int kRegister[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                    REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                    REG_R12, REG_R13, REG_R14, REG_R15};
  const auto* p = reinterpret_cast<const uint8_t*>(context->uc_mcontext.gregs[REG_RIP]);
  uint8_t rex = 0;
  if ((p[0] & 0xF0) == 0x40) rex = *p++;
  uint8_t opcode = p[0], modrm = p[1];
  int mod = modrm >> 6, reg = (modrm >> 3) & 7, rm = modrm & 7;
  if (mod == 3) return false;  // a register, not memory
  if (opcode == 0x89) {
    reg |= (rex & 4) ? 8 : 0;
    *value = static_cast<int32_t>(context->uc_mcontext.gregs[kRegister[reg]]);
    return true;
  }
  if (opcode != 0xC7 || reg != 0) return false;
  // Length of the memory operand after the ModRM byte.
  size_t operand = 0;
  if (rm == 4) {
    operand = 1;  // SIB
    if (mod == 0 && (p[2] & 7) == 5) operand += 4;
  } else if (mod == 0 && rm == 5) {
    operand = 4;  // RIP-relative
  }
  if (mod == 1) operand += 1;
  if (mod == 2) operand += 4;
  int32_t imm;
  memcpy(&imm, p + 2 + operand, sizeof(imm));
  *value = imm;
  return true;
}

void OnCrash(int signal, siginfo_t* info, void* context) {
  char line[32] = "?";
  int64_t value;
  if (DecodeStoredValue(static_cast<const ucontext_t*>(context), &value)) {
    snprintf(line, sizeof(line), "%lld", static_cast<long long>(value));
  }
  char text[1400];
  int n = snprintf(text, sizeof(text), "crash: signal=%d addr=%llx reason=%s line=%s\n", signal,
                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info->si_addr)),
                   gVlmCrashReason != nullptr ? gVlmCrashReason : "<null>", line);
  if (n > 0) {
    size_t length = static_cast<size_t>(n);
    if (length >= sizeof(text)) length = sizeof(text) - 1;
    if (write(STDERR_FILENO, text, length) < 0) _exit(3);
  }
  siglongjmp(gResume, 1);
}

}  // namespace

void ReportCrashesAndExit(std::initializer_list<std::function<void()>> steps) {
  struct sigaction action = {};
  action.sa_sigaction = OnCrash;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, nullptr);
  for (const auto& step : steps) {
    if (sigsetjmp(gResume, 1) == 0) step();
  }
  fflush(nullptr);
  _exit(0);
}

}  // namespace vellum::testing

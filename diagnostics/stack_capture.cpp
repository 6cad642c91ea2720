#include "diagnostics/stack_capture.h"

#include <execinfo.h>
#include <sys/auxv.h>

#include <cstdint>

namespace StackCapture {

#if defined(__powerpc__) && !defined(__powerpc64__)
namespace {

// Without a vDSO (as under user-mode emulation) libgcc's unwinder aborts when
// it meets a signal frame. The stack is then walked along the ABI's back
// chain instead, stepping over a signal frame by its saved registers.
bool gWalkBackChain = false;

const uintptr_t SIGNAL_FRAME_SIZE = 64;    // below the kernel's signal frame
const uintptr_t REGS_POINTER_AT = 28;      // in the sigcontext
const uintptr_t RT_REGS_POINTER_AT = 48;   // in the ucontext, after uc_stack and uc_pad
const uintptr_t RT_GAP = 16;               // rt_ frames: gap before the siginfo
const uintptr_t SIGINFO_SIZE = 128;
const int SAVED_R1 = 1;                    // word indexes in the saved registers
const int SAVED_NIP = 32;

uintptr_t Word(uintptr_t address)
{
    return *reinterpret_cast<const uintptr_t*>(address);
}

// The registers saved by the signal frame at frame when returnAddress is a
// signal return trampoline ("li r0,sigreturn; sc" or the rt_ variant), else 0.
uintptr_t SavedRegisters(uintptr_t returnAddress, uintptr_t frame)
{
    if (Word(returnAddress + 4) != 0x44000002) {
        return 0;
    }
    uintptr_t call = Word(returnAddress);
    if (call == 0x38000077 || call == 0x38007777) {
        return Word(frame + SIGNAL_FRAME_SIZE + REGS_POINTER_AT);
    }
    if (call == 0x380000ac || call == 0x38006666) {
        return Word(frame + SIGNAL_FRAME_SIZE + RT_GAP + SIGINFO_SIZE + RT_REGS_POINTER_AT);
    }
    return 0;
}

// Like backtrace(): return addresses, innermost (into the caller) first.
__attribute__((noinline)) int WalkBackChain(void** frames, int max)
{
    int count = 0;
    frames[count++] = __builtin_return_address(0);
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    sp = Word(sp);   // the caller's frame
    while (count < max) {
        uintptr_t caller = Word(sp);
        if (caller <= sp || (caller & 3) != 0) {
            break;
        }
        uintptr_t returnAddress = Word(caller + 4);
        if (returnAddress == 0) {
            break;
        }
        frames[count++] = reinterpret_cast<void*>(returnAddress);
        uintptr_t regs = SavedRegisters(returnAddress, caller);
        if (regs != 0 && count < max) {
            frames[count++] = reinterpret_cast<void*>(Word(regs + 4 * SAVED_NIP));
            caller = Word(regs + 4 * SAVED_R1);
        }
        sp = caller;
    }
    return count;
}

}  // namespace

void Prepare()
{
    void* frame[1];
    backtrace(frame, 1);
    gWalkBackChain = getauxval(AT_SYSINFO_EHDR) == 0;
}

int Capture(void** frames, int max)
{
    return gWalkBackChain ? WalkBackChain(frames, max) : backtrace(frames, max);
}
#else
void Prepare()
{
    void* frame[1];
    backtrace(frame, 1);
}

int Capture(void** frames, int max)
{
    return backtrace(frames, max);
}
#endif

}  // namespace StackCapture

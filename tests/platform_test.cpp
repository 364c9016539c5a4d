// The platform module. The execution-context switch: what every backend must keep across a switch
// (the ABI's callee-saved registers and floating-point control state, the stack's alignment, and
// on Windows the thread's stack bounds), that exceptions work on a context's own stack, and that
// an entry which returns stops the process. The queue that hands blocks between two threads, and
// the write-behind ring that hands filled buffers to a sink on a thread of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/block_queue.h"
#include "platform/context.h"
#include "platform/write_behind.h"
#include "stream/byte_sink.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace chunksieve {
namespace {

// A driver and one context on a stack of its own; the context's entry gets the whole struct.
struct Pair {
    ExecutionContext driver;
    ExecutionContext side;
    int rounds = 0;
    alignas(64) std::uint8_t stack[128 * 1024];

    void start(ContextEntry entry) {
        context_prepare(side, stack, sizeof stack, entry, this);
        context_switch(driver, side);
    }
    void to_side() { context_switch(driver, side); }
    void to_driver() { context_switch(side, driver); }
};

// ---- callee-saved state, set and checked around a switch in assembly ----
//
// probe_switch loads a known value into every register that a call must preserve, sets the
// floating-point rounding (MXCSR and x87, or FPCR) to "toward zero", calls sw(from, to), and
// returns one bit per register or control word that came back different (0: all kept).
// clobber_switch loads other values (and "down" rounding) into the same registers and calls
// sw(from, to). Both save and restore whatever their caller had there.
#define CHUNKSIEVE_PROBE_ASM 1
#if defined(__x86_64__) && defined(_WIN64)
// rbx rbp rdi rsi r12-r15, xmm6-xmm15, MXCSR, x87 control word.
constexpr unsigned ALL_PROBED = (1u << 20) - 1;
asm(R"(
    .text
    .macro SAVE_WIN64
    pushq   %rbp
    pushq   %rbx
    pushq   %rdi
    pushq   %rsi
    pushq   %r12
    pushq   %r13
    pushq   %r14
    pushq   %r15
    subq    $216, %rsp
    movups  %xmm6, 32(%rsp)
    movups  %xmm7, 48(%rsp)
    movups  %xmm8, 64(%rsp)
    movups  %xmm9, 80(%rsp)
    movups  %xmm10, 96(%rsp)
    movups  %xmm11, 112(%rsp)
    movups  %xmm12, 128(%rsp)
    movups  %xmm13, 144(%rsp)
    movups  %xmm14, 160(%rsp)
    movups  %xmm15, 176(%rsp)
    stmxcsr 192(%rsp)
    fnstcw  196(%rsp)
    .endm
    .macro RESTORE_WIN64
    ldmxcsr 192(%rsp)
    fldcw   196(%rsp)
    movups  32(%rsp), %xmm6
    movups  48(%rsp), %xmm7
    movups  64(%rsp), %xmm8
    movups  80(%rsp), %xmm9
    movups  96(%rsp), %xmm10
    movups  112(%rsp), %xmm11
    movups  128(%rsp), %xmm12
    movups  144(%rsp), %xmm13
    movups  160(%rsp), %xmm14
    movups  176(%rsp), %xmm15
    addq    $216, %rsp
    popq    %r15
    popq    %r14
    popq    %r13
    popq    %r12
    popq    %rsi
    popq    %rdi
    popq    %rbx
    popq    %rbp
    .endm
    .macro LOAD_WIN64 base, mxcsr, x87cw
    movabsq $\base + 0x01, %rbx
    movabsq $\base + 0x02, %rbp
    movabsq $\base + 0x03, %rdi
    movabsq $\base + 0x04, %rsi
    movabsq $\base + 0x05, %r12
    movabsq $\base + 0x06, %r13
    movabsq $\base + 0x07, %r14
    movabsq $\base + 0x08, %r15
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movabsq $\base + 0x10 + \n, %rax
    movq    %rax, %xmm\n
    punpcklqdq %xmm\n, %xmm\n
    .endr
    movl    $\mxcsr, 200(%rsp)
    ldmxcsr 200(%rsp)
    movw    $\x87cw, 204(%rsp)
    fldcw   204(%rsp)
    .endm
    .macro CHECK_GPR reg, value, bit
    movabsq $\value, %r10
    cmpq    %r10, %\reg
    je      1f
    orl     $\bit, %eax
1:
    .endm
    .macro CHECK_XMM n, value, bit
    movabsq $\value, %r10
    movq    %r10, %xmm0
    punpcklqdq %xmm0, %xmm0
    pcmpeqb %xmm\n, %xmm0
    pmovmskb %xmm0, %r11d
    cmpl    $0xFFFF, %r11d
    je      1f
    orl     $\bit, %eax
1:
    .endm

chunksieve_test_probe_switch:
    SAVE_WIN64
    LOAD_WIN64 0x5A5A5A5A00000000, 0x7F80, 0x0F7F
    callq   *%r8
    xorl    %eax, %eax
    CHECK_GPR rbx, 0x5A5A5A5A00000001, 0x1
    CHECK_GPR rbp, 0x5A5A5A5A00000002, 0x2
    CHECK_GPR rdi, 0x5A5A5A5A00000003, 0x4
    CHECK_GPR rsi, 0x5A5A5A5A00000004, 0x8
    CHECK_GPR r12, 0x5A5A5A5A00000005, 0x10
    CHECK_GPR r13, 0x5A5A5A5A00000006, 0x20
    CHECK_GPR r14, 0x5A5A5A5A00000007, 0x40
    CHECK_GPR r15, 0x5A5A5A5A00000008, 0x80
    CHECK_XMM 6, 0x5A5A5A5A00000016, 0x100
    CHECK_XMM 7, 0x5A5A5A5A00000017, 0x200
    CHECK_XMM 8, 0x5A5A5A5A00000018, 0x400
    CHECK_XMM 9, 0x5A5A5A5A00000019, 0x800
    CHECK_XMM 10, 0x5A5A5A5A0000001A, 0x1000
    CHECK_XMM 11, 0x5A5A5A5A0000001B, 0x2000
    CHECK_XMM 12, 0x5A5A5A5A0000001C, 0x4000
    CHECK_XMM 13, 0x5A5A5A5A0000001D, 0x8000
    CHECK_XMM 14, 0x5A5A5A5A0000001E, 0x10000
    CHECK_XMM 15, 0x5A5A5A5A0000001F, 0x20000
    stmxcsr 200(%rsp)
    movl    200(%rsp), %r10d
    andl    $0xFFC0, %r10d
    cmpl    $0x7F80, %r10d
    je      1f
    orl     $0x40000, %eax
1:
    fnstcw  204(%rsp)
    movzwl  204(%rsp), %r10d
    cmpl    $0x0F7F, %r10d
    je      1f
    orl     $0x80000, %eax
1:
    RESTORE_WIN64
    ret

chunksieve_test_clobber_switch:
    SAVE_WIN64
    LOAD_WIN64 0xC3C3C3C300000000, 0x3F80, 0x077F
    callq   *%r8
    RESTORE_WIN64
    ret
)");
#elif defined(__x86_64__)
// rbx rbp r12-r15, MXCSR, x87 control word.
constexpr unsigned ALL_PROBED = (1u << 8) - 1;
asm(R"(
    .text
    .macro SAVE_SYSV
    pushq   %rbp
    pushq   %rbx
    pushq   %r12
    pushq   %r13
    pushq   %r14
    pushq   %r15
    subq    $24, %rsp
    stmxcsr (%rsp)
    fnstcw  4(%rsp)
    .endm
    .macro RESTORE_SYSV
    ldmxcsr (%rsp)
    fldcw   4(%rsp)
    addq    $24, %rsp
    popq    %r15
    popq    %r14
    popq    %r13
    popq    %r12
    popq    %rbx
    popq    %rbp
    .endm
    .macro LOAD_SYSV base, mxcsr, x87cw
    movabsq $\base + 0x01, %rbx
    movabsq $\base + 0x02, %rbp
    movabsq $\base + 0x05, %r12
    movabsq $\base + 0x06, %r13
    movabsq $\base + 0x07, %r14
    movabsq $\base + 0x08, %r15
    movl    $\mxcsr, 8(%rsp)
    ldmxcsr 8(%rsp)
    movw    $\x87cw, 12(%rsp)
    fldcw   12(%rsp)
    .endm
    .macro CHECK_GPR reg, value, bit
    movabsq $\value, %r10
    cmpq    %r10, %\reg
    je      1f
    orl     $\bit, %eax
1:
    .endm

chunksieve_test_probe_switch:
    SAVE_SYSV
    LOAD_SYSV 0x5A5A5A5A00000000, 0x7F80, 0x0F7F
    callq   *%rdx
    xorl    %eax, %eax
    CHECK_GPR rbx, 0x5A5A5A5A00000001, 0x1
    CHECK_GPR rbp, 0x5A5A5A5A00000002, 0x2
    CHECK_GPR r12, 0x5A5A5A5A00000005, 0x4
    CHECK_GPR r13, 0x5A5A5A5A00000006, 0x8
    CHECK_GPR r14, 0x5A5A5A5A00000007, 0x10
    CHECK_GPR r15, 0x5A5A5A5A00000008, 0x20
    stmxcsr 8(%rsp)
    movl    8(%rsp), %r10d
    andl    $0xFFC0, %r10d
    cmpl    $0x7F80, %r10d
    je      1f
    orl     $0x40, %eax
1:
    fnstcw  12(%rsp)
    movzwl  12(%rsp), %r10d
    cmpl    $0x0F7F, %r10d
    je      1f
    orl     $0x80, %eax
1:
    RESTORE_SYSV
    ret

chunksieve_test_clobber_switch:
    SAVE_SYSV
    LOAD_SYSV 0xC3C3C3C300000000, 0x3F80, 0x077F
    callq   *%rdx
    RESTORE_SYSV
    ret
)");
#elif defined(__i386__)
// ebx esi edi ebp, MXCSR, x87 control word.
constexpr unsigned ALL_PROBED = (1u << 6) - 1;
asm(R"(
    .text
    # After SAVE_I386 the arguments from, to and sw are at 48, 52 and 56(%esp), and from and to
    # are already placed as the outgoing call's arguments.
    .macro SAVE_I386
    pushl   %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    subl    $28, %esp
    movl    48(%esp), %eax
    movl    %eax, (%esp)
    movl    52(%esp), %eax
    movl    %eax, 4(%esp)
    stmxcsr 8(%esp)
    fnstcw  12(%esp)
    .endm
    .macro RESTORE_I386
    ldmxcsr 8(%esp)
    fldcw   12(%esp)
    addl    $28, %esp
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    .endm
    .macro LOAD_I386 base, mxcsr, x87cw
    movl    $\base + 0x01, %ebx
    movl    $\base + 0x02, %ebp
    movl    $\base + 0x03, %edi
    movl    $\base + 0x04, %esi
    movl    $\mxcsr, 16(%esp)
    ldmxcsr 16(%esp)
    movw    $\x87cw, 20(%esp)
    fldcw   20(%esp)
    .endm
    .macro CHECK_GPR reg, value, bit
    cmpl    $\value, %\reg
    je      1f
    orl     $\bit, %eax
1:
    .endm

chunksieve_test_probe_switch:
    SAVE_I386
    LOAD_I386 0x5A5A0000, 0x7F80, 0x0F7F
    calll   *56(%esp)
    xorl    %eax, %eax
    CHECK_GPR ebx, 0x5A5A0001, 0x1
    CHECK_GPR ebp, 0x5A5A0002, 0x2
    CHECK_GPR edi, 0x5A5A0003, 0x4
    CHECK_GPR esi, 0x5A5A0004, 0x8
    stmxcsr 16(%esp)
    movl    16(%esp), %ecx
    andl    $0xFFC0, %ecx
    cmpl    $0x7F80, %ecx
    je      1f
    orl     $0x10, %eax
1:
    fnstcw  20(%esp)
    movzwl  20(%esp), %ecx
    cmpl    $0x0F7F, %ecx
    je      1f
    orl     $0x20, %eax
1:
    RESTORE_I386
    ret

chunksieve_test_clobber_switch:
    SAVE_I386
    LOAD_I386 0xC3C30000, 0x3F80, 0x077F
    calll   *56(%esp)
    RESTORE_I386
    ret
)");
#elif defined(__aarch64__)
// x19-x29, d8-d15 (the low halves of v8-v15), FPCR. x30 holds the return address, which the
// probe's own return proves was kept.
constexpr unsigned ALL_PROBED = (1u << 20) - 1;
asm(R"(
    .text
    .macro SAVE_A64
    stp     x29, x30, [sp, #-176]!
    stp     x19, x20, [sp, #16]
    stp     x21, x22, [sp, #32]
    stp     x23, x24, [sp, #48]
    stp     x25, x26, [sp, #64]
    stp     x27, x28, [sp, #80]
    stp     d8, d9, [sp, #96]
    stp     d10, d11, [sp, #112]
    stp     d12, d13, [sp, #128]
    stp     d14, d15, [sp, #144]
    mrs     x9, fpcr
    str     x9, [sp, #160]
    .endm
    .macro RESTORE_A64
    ldr     x9, [sp, #160]
    msr     fpcr, x9
    ldp     d14, d15, [sp, #144]
    ldp     d12, d13, [sp, #128]
    ldp     d10, d11, [sp, #112]
    ldp     d8, d9, [sp, #96]
    ldp     x27, x28, [sp, #80]
    ldp     x25, x26, [sp, #64]
    ldp     x23, x24, [sp, #48]
    ldp     x21, x22, [sp, #32]
    ldp     x19, x20, [sp, #16]
    ldp     x29, x30, [sp], #176
    .endm
    # Register xN gets base + N, dN gets base + 0x20 + N; FPCR gets rmode (bits 22-23).
    .macro LOAD_A64 base, rmode
    .irp n, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29
    ldr     x\n, =\base + \n
    .endr
    .irp n, 8, 9, 10, 11, 12, 13, 14, 15
    ldr     x9, =\base + 0x20 + \n
    fmov    d\n, x9
    .endr
    ldr     x9, =\rmode
    msr     fpcr, x9
    .endm
    .macro CHECK_X n, value, bit
    ldr     x9, =\value
    cmp     x\n, x9
    b.eq    1f
    orr     w0, w0, #\bit
1:
    .endm
    .macro CHECK_D n, value, bit
    fmov    x10, d\n
    ldr     x9, =\value
    cmp     x10, x9
    b.eq    1f
    orr     w0, w0, #\bit
1:
    .endm

chunksieve_test_probe_switch:
    SAVE_A64
    LOAD_A64 0x5A5A5A5A00000000, 0x00C00000
    blr     x2
    mov     w0, #0
    CHECK_X 19, 0x5A5A5A5A00000013, 0x1
    CHECK_X 20, 0x5A5A5A5A00000014, 0x2
    CHECK_X 21, 0x5A5A5A5A00000015, 0x4
    CHECK_X 22, 0x5A5A5A5A00000016, 0x8
    CHECK_X 23, 0x5A5A5A5A00000017, 0x10
    CHECK_X 24, 0x5A5A5A5A00000018, 0x20
    CHECK_X 25, 0x5A5A5A5A00000019, 0x40
    CHECK_X 26, 0x5A5A5A5A0000001A, 0x80
    CHECK_X 27, 0x5A5A5A5A0000001B, 0x100
    CHECK_X 28, 0x5A5A5A5A0000001C, 0x200
    CHECK_X 29, 0x5A5A5A5A0000001D, 0x400
    CHECK_D 8, 0x5A5A5A5A00000028, 0x800
    CHECK_D 9, 0x5A5A5A5A00000029, 0x1000
    CHECK_D 10, 0x5A5A5A5A0000002A, 0x2000
    CHECK_D 11, 0x5A5A5A5A0000002B, 0x4000
    CHECK_D 12, 0x5A5A5A5A0000002C, 0x8000
    CHECK_D 13, 0x5A5A5A5A0000002D, 0x10000
    CHECK_D 14, 0x5A5A5A5A0000002E, 0x20000
    CHECK_D 15, 0x5A5A5A5A0000002F, 0x40000
    mrs     x10, fpcr
    and     x10, x10, #0x00C00000
    ldr     x9, =0x00C00000
    cmp     x10, x9
    b.eq    1f
    orr     w0, w0, #0x80000
1:
    RESTORE_A64
    ret
    .ltorg

chunksieve_test_clobber_switch:
    SAVE_A64
    LOAD_A64 0xC3C3C3C300000000, 0x00800000
    blr     x2
    RESTORE_A64
    ret
    .ltorg
)");
#else
#undef CHUNKSIEVE_PROBE_ASM
#endif

#if defined(CHUNKSIEVE_PROBE_ASM)
void switch_by_pointer(ExecutionContext* from, const ExecutionContext* to) {
    context_switch(*from, *to);
}
using SwitchFn = void (*)(ExecutionContext*, const ExecutionContext*);

extern "C" unsigned probe_switch(ExecutionContext* from, const ExecutionContext* to,
                                 SwitchFn sw) asm("chunksieve_test_probe_switch");
extern "C" void clobber_switch(ExecutionContext* from, const ExecutionContext* to,
                               SwitchFn sw) asm("chunksieve_test_clobber_switch");

// Each round trip leaves the driver's registers set and checked, and the other side's set to
// other values; both sides' control words are swapped too.
TEST(Context, SwitchKeepsCalleeSavedRegistersAndControlWords) {
    auto p = std::make_unique<Pair>();
    context_prepare(
        p->side, p->stack, sizeof p->stack,
        [](void* arg) {
            auto& pp = *static_cast<Pair*>(arg);
            for (;;) {
                ++pp.rounds;
                clobber_switch(&pp.side, &pp.driver, switch_by_pointer);
            }
        },
        p.get());
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(probe_switch(&p->driver, &p->side, switch_by_pointer), 0u)
            << "bits of the registers that changed, of " << ALL_PROBED << ", round " << i;
        EXPECT_EQ(p->rounds, i);
    }
}
#endif

#if defined(CHUNKSIEVE_CONTEXT_UCONTEXT)
// A build that asks for the fallback must not test an assembly switch in its place.
TEST(Context, TheChosenFallbackIsTheOneBuilt) {
    EXPECT_STREQ(context_backend(), "ucontext");
}
#endif

// A new context starts on a stack aligned as its ABI requires at a function's entry: the
// compiler trusts that alignment for 16-byte locals, so a wrong start shows in their addresses.
TEST(Context, EntryStartsOnAnAlignedStack) {
    static std::uintptr_t where;
    auto p = std::make_unique<Pair>();
    p->start([](void* arg) {
        alignas(16) volatile unsigned char local[16] = {};
        where = reinterpret_cast<std::uintptr_t>(&local[0]);
        static_cast<Pair*>(arg)->to_driver();
    });
    EXPECT_EQ(where % 16, 0u);
    EXPECT_GE(where, reinterpret_cast<std::uintptr_t>(p->stack));
    EXPECT_LT(where, reinterpret_cast<std::uintptr_t>(p->stack + sizeof p->stack));
}

[[gnu::noinline]] void throw_runtime_error(int round) {
    throw std::runtime_error(round % 2 ? "odd" : "even");
}

// Unwinding must find every frame within the running stack's bounds: on the context's stack
// while it runs, on the driver's again after it switched back.
TEST(Context, ExceptionsAreCaughtOnBothStacks) {
    auto p = std::make_unique<Pair>();
    p->start([](void* arg) {
        auto& pp = *static_cast<Pair*>(arg);
        for (;;) {
            try {
                throw_runtime_error(pp.rounds);
            } catch (const std::runtime_error&) {
                ++pp.rounds;
            }
            pp.to_driver();
        }
    });
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(p->rounds, i);
        EXPECT_THROW(throw_runtime_error(i), std::runtime_error);
        p->to_side();
    }
}

#if defined(_WIN32)
// The running thread's TIB, through its self pointer (what NtCurrentTeb reads; GCC 12 takes
// that header's segment read for an out-of-bounds access).
const NT_TIB* current_tib() {
    const NT_TIB* tib;
#if defined(_WIN64)
    asm volatile("movq %%gs:0x30, %0" : "=r"(tib));
#else
    asm volatile("movl %%fs:0x18, %0" : "=r"(tib));
#endif
    return tib;
}

// The TIB's stack bounds are the running stack's: the context's own while it runs, and the
// thread's again once the driver runs.
TEST(Context, ThreadStackBoundsFollowTheRunningStack) {
    struct Seen {
        std::uintptr_t base, limit, local;
    };
    static Seen seen;
    const auto* tib = current_tib();
    const auto base = reinterpret_cast<std::uintptr_t>(tib->StackBase);
    const auto limit = reinterpret_cast<std::uintptr_t>(tib->StackLimit);

    auto p = std::make_unique<Pair>();
    p->start([](void* arg) {
        volatile int local = 0;
        const auto* t = current_tib();
        seen = {reinterpret_cast<std::uintptr_t>(t->StackBase),
                reinterpret_cast<std::uintptr_t>(t->StackLimit),
                reinterpret_cast<std::uintptr_t>(&local)};
        static_cast<Pair*>(arg)->to_driver();
    });
    EXPECT_EQ(seen.limit, reinterpret_cast<std::uintptr_t>(p->stack));
    EXPECT_LE(seen.base, reinterpret_cast<std::uintptr_t>(p->stack + sizeof p->stack));
    EXPECT_GT(seen.local, seen.limit);
    EXPECT_LT(seen.local, seen.base);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tib->StackBase), base);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tib->StackLimit), limit);
}
#endif

// A raw entry has no frame to return into: returning must stop the process at once, by the
// backend's own trap, not run on into whatever memory follows.
TEST(ContextDeathTest, EntryThatReturnsTraps) {
    const auto return_from_entry = [] {
        auto p = std::make_unique<Pair>();
        p->start([](void*) {});
    };
#if defined(_WIN32)
    // Windows ends the process with the unhandled exception's code.
    EXPECT_EXIT(return_from_entry(), ::testing::ExitedWithCode(int(STATUS_ILLEGAL_INSTRUCTION)),
                "");
#else
    const std::string backend = context_backend();
    const int trap = backend == "ucontext" ? SIGABRT : backend == "aarch64" ? SIGTRAP : SIGILL;
    EXPECT_EXIT(return_from_entry(), ::testing::KilledBySignal(trap), "") << backend;
#endif
}

// Many blocks through the queue with both sides now and then pausing: each arrives once, in
// order; and a consumer that closes the queue stops a producer that waits for room.
TEST(BlockQueue, PassesEveryBlockInOrderAndStopsOnClose) {
    constexpr std::uint32_t SLOTS = 8;
    BlockQueue q(SLOTS, SLOTS / 2, 1);
    std::uint64_t slots[SLOTS] = {};
    constexpr std::uint64_t BLOCKS = 200000;
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < BLOCKS; ++i) {
            ASSERT_TRUE(q.wait_for_room());
            slots[q.back()] = i;
            q.push();
            if (i % 5000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        q.close();
    });
    std::uint64_t expect = 0;
    while (q.wait_for_block()) {
        ASSERT_EQ(slots[q.front()], expect++);
        q.pop();
        if (expect % 7000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    producer.join();
    EXPECT_EQ(expect, BLOCKS);

    BlockQueue stopped(SLOTS, SLOTS / 2, 1);
    std::thread blocked([&] {
        while (stopped.wait_for_room())
            stopped.push();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stopped.close();
    blocked.join();  // returns: the producer saw the close
}

// ---- WriteBehind ----

// A sink that keeps what it takes and refuses the write numbered fail_at (from 0); it counts
// every call, refused or not, notes whether any came from the thread that made it, and can be
// made slow so that the ring fills up. The bytes taken may be read while it takes more (as the
// restored bytes are read back while later ones are written): they never move, and the count
// is stored after them.
struct RecordingSink final : ByteSink {
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        (std::this_thread::get_id() == maker ? on_maker : behind) = true;
        if (slow && calls % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (std::ptrdiff_t(calls++) == fail_at) return false;
        const std::size_t at = taken.load();
        if (n > sizeof store - at) return false;
        std::memcpy(store + at, data, n);
        taken.store(at + n);
        writes.push_back(n);
        return true;
    }

    std::ptrdiff_t fail_at = -1;
    bool slow = false;
    std::uint8_t store[2048];
    std::atomic<std::size_t> taken{0};
    // Whether the bytes taken are the first of `data`, and as many as `n`.
    bool took(const std::vector<std::uint8_t>& data, std::size_t n) const {
        return taken.load() == n && n <= data.size() && std::equal(store, store + n, data.begin());
    }
    std::vector<std::size_t> writes;  // the length of each write taken
    std::size_t calls = 0;
    std::thread::id maker = std::this_thread::get_id();
    bool on_maker = false, behind = false;
};

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(i * 131 + (i >> 8) * 7 + 1);
    return v;
}

// `count` writes of `size` bytes, then one of `last` (none when 0).
std::vector<std::size_t> writes_of(std::size_t count, std::size_t size, std::size_t last = 0) {
    std::vector<std::size_t> w(count, size);
    if (last) w.push_back(last);
    return w;
}

// Hands `data` on in 16-byte buffers, each full one as full and a shorter last as the end, as
// the library's writers do, then an empty one; whether every hand-over reported success. Hands
// every buffer on even after a failure, which must drop them.
bool feed(WriteBehind& out, const std::vector<std::uint8_t>& data) {
    bool ok = true;
    for (std::size_t at = 0; at < data.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, data.size() - at);
        std::memcpy(out.buffer(), data.data() + at, n);
        ok = out.hand_on(n, n == 16) && ok;
    }
    return out.hand_on(0, false) && ok;  // an empty hand-over, which writes nothing
}

// The sink gets every byte handed on, in order and in the buffers handed on, up to the first
// write it refuses and nothing after it; the failure reaches the caller and the count of bytes
// taken is exact. The same whether the caller finishes or just lets the helper go (whose
// destructor must still write every buffer handed on and join its thread), through rings that
// make either side wait, with a fast and a slow sink.
TEST(WriteBehind, WritesInOrderUntilTheFirstRefusal) {
    struct Case {
        const char* what;
        std::size_t size;                 // bytes handed on
        std::ptrdiff_t fail_at;           // the write refused, -1 for none
        std::vector<std::size_t> writes;  // the writes the sink takes
        std::uint64_t written;
        bool behind;  // whether the writes leave the caller's thread
    };
    const Case cases[] = {
        {"nothing", 0, -1, {}, 0, false},
        {"one short buffer", 5, -1, {5}, 5, false},
        {"one full buffer", 16, -1, {16}, 16, true},
        {"an exact multiple", 64, -1, {16, 16, 16, 16}, 64, true},
        {"many buffers and a short one", 1603, -1, writes_of(100, 16, 3), 1603, true},
        {"the first write refused", 40, 0, {}, 0, true},
        {"the third write refused", 100, 2, {16, 16}, 32, true},
        {"the short last write refused", 40, 2, {16, 16}, 32, true},
        {"a short write refused in place", 5, 0, {}, 0, false},
        {"a refusal deep in a long run", 1603, 77, writes_of(77, 16), 1232, true},
    };
    const WriteBehind::Shape shapes[] = {{2, 16, 1, 1}, {4, 16, 2, 2}, {8, 16, 4, 4}};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> data = pattern(c.size);
        for (WriteBehind::Shape shape : shapes) {
            for (const bool slow : {false, true}) {
                for (const bool finish : {true, false}) {
                    // The whole ring the caller's and the thread started at once (as the run's
                    // output ring), with a hook told after each write.
                    for (const bool given : {false, true}) {
                        SCOPED_TRACE(testing::Message()
                                     << c.what << ", ring of " << shape.buffers
                                     << (slow ? ", slow sink" : "") << (finish ? "" : ", destroyed")
                                     << (given ? ", the caller's ring" : ""));
                        RecordingSink sink;
                        sink.fail_at = c.fail_at;
                        sink.slow = slow;
                        std::atomic<std::size_t> told{0};
                        std::vector<std::uint8_t> ring(shape.buffers * shape.bytes);
                        std::uint8_t* slots[WriteBehind::MAX_BUFFERS];
                        for (std::uint32_t i = 0; i < shape.buffers; ++i)
                            slots[i] = ring.data() + i * shape.bytes;
                        if (given) {
                            shape.after_write = [](void* n) {
                                ++*static_cast<std::atomic<std::size_t>*>(n);
                            };
                            shape.user = &told;
                        }
                        {
                            std::optional<WriteBehind> out;
                            if (given) {
                                out.emplace(sink, shape, slots);
                                ASSERT_TRUE(out->start());
                            } else {
                                out.emplace(sink, shape);
                            }
                            bool ok = feed(*out, data);
                            if (c.fail_at < 0) {
                                EXPECT_EQ(out->handed(), c.size);
                            }
                            if (finish) {
                                ok = out->finish() && ok;
                                EXPECT_EQ(ok, c.fail_at < 0);
                                EXPECT_EQ(out->failed(), c.fail_at >= 0);
                                EXPECT_EQ(out->written(), c.written);
                                EXPECT_EQ(out->wait_written(out->written()), c.fail_at < 0);
                            }
                        }
                        shape.after_write = nullptr;
                        shape.user = nullptr;
                        EXPECT_EQ(sink.writes, c.writes);
                        EXPECT_EQ(sink.calls, c.writes.size() + (c.fail_at >= 0 ? 1 : 0));
                        EXPECT_TRUE(sink.took(data, c.written));
                        const bool behind = given ? sink.calls > 0 : c.behind;
                        EXPECT_EQ(sink.behind, behind);
                        EXPECT_EQ(sink.on_maker, !behind && sink.calls > 0);
                        EXPECT_EQ(told.load(), given ? c.writes.size() : 0);
                    }
                }
            }
        }
    }
}

// Bytes filled but never handed on are not written; those handed on before are, by the
// destructor. A buffer the caller owns serves as the first.
TEST(WriteBehind, DestroyedUnfinishedWritesWhatWasHandedOn) {
    const std::vector<std::uint8_t> data = pattern(60);
    for (const bool own_first : {false, true}) {
        RecordingSink sink;
        std::uint8_t first[16];
        {
            WriteBehind out(sink, {4, 16, 2, 2}, own_first ? first : nullptr);
            if (own_first) {
                EXPECT_EQ(out.buffer(), first);
            }
            for (std::size_t at = 0; at < 48; at += 16) {
                std::memcpy(out.buffer(), data.data() + at, 16);
                ASSERT_TRUE(out.hand_on(16, true));
            }
            std::memcpy(out.buffer(), data.data() + 48, 12);  // never handed on
        }
        EXPECT_EQ(sink.writes, writes_of(3, 16));
        EXPECT_TRUE(sink.took(data, 48));
    }
}

// wait_written() returns once the sink holds the bytes asked for, so that they can be read back
// from where the sink put them; after a refusal it reports the failure instead of waiting.
TEST(WriteBehind, WaitWrittenSeesTheBytesInTheSink) {
    const std::vector<std::uint8_t> data = pattern(16 * 40);
    for (const std::ptrdiff_t fail_at : {-1, 25}) {
        RecordingSink sink;
        sink.slow = true;
        sink.fail_at = fail_at;
        WriteBehind out(sink, {8, 16, 1, 1});
        std::size_t refused_seen_at = 0;
        for (std::size_t i = 0; i < 40; ++i) {
            std::memcpy(out.buffer(), data.data() + 16 * i, 16);
            out.hand_on(16, true);
            // Now and then a wait for all of it, else for all but the last two buffers.
            const std::uint64_t end = i % 5 == 4 ? out.handed() : (i >= 2 ? 16 * (i - 1) : 0);
            if (!out.wait_written(end)) {
                refused_seen_at = i;
                break;
            }
            ASSERT_GE(sink.taken.load(), end) << i;
            ASSERT_TRUE(std::equal(sink.store, sink.store + end, data.begin())) << i;
        }
        if (fail_at < 0) {
            EXPECT_TRUE(out.finish());
            EXPECT_TRUE(sink.took(data, data.size()));
        } else {
            // Buffer 25 is refused; the wait after handing on buffer 27 at the latest tells.
            EXPECT_GE(refused_seen_at, 25u);
            EXPECT_LE(refused_seen_at, 27u);
            EXPECT_FALSE(out.finish());
            EXPECT_EQ(out.written(), 400u);
            EXPECT_EQ(sink.writes, writes_of(25, 16));
        }
    }
}

}  // namespace
}  // namespace chunksieve

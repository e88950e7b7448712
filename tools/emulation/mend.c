/*
 * Mend for Wine's i386 side running under qemu-i386 (qemu 7.2 as Debian 12
 * ships it), on hosts whose kernel runs no 32-bit code. It is preloaded into
 * the emulated programs only: scripts/emulation-env.sh hands it to them
 * through QEMU_SET_ENV. It works around two faults of that emulator.
 *
 * 1. mmap with MAP_FIXED_NOREPLACE: the emulator takes the address as a mere
 *    hint and maps somewhere else when it likes. Wine's reservation of the
 *    low address space then lands elsewhere, memory fragments, and every
 *    Wine process spends most of a minute in mmap and munmap. Here the flag
 *    is taken off, the address passed on as a hint (which the emulator
 *    honours when the range is free), and a mapping that lands elsewhere is
 *    undone and refused with EEXIST, as the kernel does.
 *
 * 2. The trap number in the signal frame is -1. Wine's fault handlers decide
 *    from it what happened, so every page fault becomes an illegal
 *    instruction and the process dies. Here the handlers that Wine installs
 *    for SIGSEGV, SIGBUS, SIGFPE, SIGTRAP and SIGILL are wrapped: when the
 *    frame has no valid trap number, the wrapper writes the one the kernel
 *    would have given, derived from the signal and si_code, then calls
 *    Wine's handler.
 *
 * It builds without 32-bit C headers (tools/emulation/build.sh), so the few
 * declarations it needs are written out here for the i386 Linux ABI.
 */

typedef __SIZE_TYPE__ size_t;

extern void *dlsym(void *handle, const char *name);
extern int *__errno_location(void);
extern int munmap(void *address, size_t length);

#define RTLD_NEXT ((void *)-1)
#define EEXIST 17

/* mmap */

#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)

typedef void *(*mmap_function)(void *, size_t, int, int, int, long);
typedef void *(*mmap64_function)(void *, size_t, int, int, int, long long);

/* What the kernel answers to MAP_FIXED_NOREPLACE, given where the hint
   landed: the mapping at the wanted address, or EEXIST. */
static void *placed_or_refused(void *wanted, void *placed, size_t length)
{
    if (placed == MAP_FAILED || placed == wanted)
        return placed;
    munmap(placed, length);
    *__errno_location() = EEXIST;
    return MAP_FAILED;
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, long offset)
{
    static mmap_function next_mmap;
    void *placed;

    if (!next_mmap)
        next_mmap = (mmap_function)dlsym(RTLD_NEXT, "mmap");
    if (!(flags & MAP_FIXED_NOREPLACE))
        return next_mmap(address, length, protection, flags, fd, offset);
    placed = next_mmap(address, length, protection, flags & ~MAP_FIXED_NOREPLACE, fd, offset);
    return placed_or_refused(address, placed, length);
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, long long offset)
{
    static mmap64_function next_mmap64;
    void *placed;

    if (!next_mmap64)
        next_mmap64 = (mmap64_function)dlsym(RTLD_NEXT, "mmap64");
    if (!(flags & MAP_FIXED_NOREPLACE))
        return next_mmap64(address, length, protection, flags, fd, offset);
    placed = next_mmap64(address, length, protection, flags & ~MAP_FIXED_NOREPLACE, fd, offset);
    return placed_or_refused(address, placed, length);
}

/* sigaction */

#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define SIGNAL_COUNT 65

#define SA_SIGINFO 4
#define HANDLER_DEFAULT ((void *)0)
#define HANDLER_IGNORE ((void *)1)

/* si_code values */
#define SI_KERNEL 0x80
#define BUS_ADRALN 1
#define BUS_ADRERR 2
#define BUS_OBJERR 3
#define FPE_INTDIV 1
#define FPE_INTOVF 2
#define TRAP_BRKPT 1
#define TRAP_TRACE 2
#define TRAP_HWBKPT 4

/* Trap numbers of the x86 processor. */
#define TRAP_DIVIDE_ERROR 0
#define TRAP_DEBUG 1
#define TRAP_BREAKPOINT 3
#define TRAP_OVERFLOW 4
#define TRAP_INVALID_OPCODE 6
#define TRAP_GENERAL_PROTECTION 13
#define TRAP_PAGE_FAULT 14
#define TRAP_FPU_ERROR 16
#define TRAP_ALIGNMENT_CHECK 17
#define TRAP_HIGHEST 31

/* The start of siginfo_t. */
struct signal_info {
    int signal;
    int error;
    int code;
};

/* struct sigaction of the i386 C library. */
struct i386_sigaction {
    void *handler;            /* sa_handler, or sa_sigaction with SA_SIGINFO */
    unsigned long mask[32];   /* sa_mask, 1024 bits */
    int flags;
    void (*restorer)(void);
};

/* The i386 ucontext_t: uc_flags, uc_link and uc_stack (three words), then
   the saved registers gs, fs, es, ds, edi, esi, ebp, esp, ebx, edx, ecx,
   eax, then the trap number. */
#define TRAP_NUMBER_OFFSET ((2 + 3 + 12) * 4)

typedef void (*info_handler)(int, struct signal_info *, void *);
typedef int (*sigaction_function)(int, const struct i386_sigaction *, struct i386_sigaction *);

static void *wine_handlers[SIGNAL_COUNT];

static int is_fault_signal(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE ||
           signal == SIGTRAP || signal == SIGILL;
}

static int trap_number(int signal, int code)
{
    switch (signal) {
    case SIGSEGV:
        /* Page faults carry SEGV_MAPERR, SEGV_ACCERR and the like; general
           protection faults (privileged instructions, int N) SI_KERNEL. */
        return (code > 0 && code < SI_KERNEL) ? TRAP_PAGE_FAULT : TRAP_GENERAL_PROTECTION;
    case SIGBUS:
        if (code == BUS_ADRALN)
            return TRAP_ALIGNMENT_CHECK;
        if (code == BUS_ADRERR || code == BUS_OBJERR)
            return TRAP_PAGE_FAULT;
        return TRAP_GENERAL_PROTECTION;   /* segment faults */
    case SIGFPE:
        if (code == FPE_INTDIV)
            return TRAP_DIVIDE_ERROR;
        if (code == FPE_INTOVF)
            return TRAP_OVERFLOW;
        return TRAP_FPU_ERROR;
    case SIGTRAP:
        /* int3 gives SI_KERNEL; single steps and debug registers the others. */
        if (code == TRAP_BRKPT || code == TRAP_TRACE || code == TRAP_HWBKPT)
            return TRAP_DEBUG;
        return TRAP_BREAKPOINT;
    default:
        return TRAP_INVALID_OPCODE;
    }
}

static void set_trap_number_then_call(int signal, struct signal_info *info, void *context)
{
    unsigned int *trap = (unsigned int *)((char *)context + TRAP_NUMBER_OFFSET);

    if (*trap > TRAP_HIGHEST)
        *trap = trap_number(signal, info->code);
    ((info_handler)wine_handlers[signal])(signal, info, context);
}

int sigaction(int signal, const struct i386_sigaction *action, struct i386_sigaction *previous)
{
    static sigaction_function next_sigaction;
    struct i386_sigaction wrapped;
    void *earlier_handler;
    int result;

    if (!next_sigaction)
        next_sigaction = (sigaction_function)dlsym(RTLD_NEXT, "sigaction");
    if (!is_fault_signal(signal))
        return next_sigaction(signal, action, previous);

    earlier_handler = wine_handlers[signal];
    if (action && (action->flags & SA_SIGINFO) &&
        action->handler != HANDLER_DEFAULT && action->handler != HANDLER_IGNORE) {
        wrapped = *action;
        wrapped.handler = (void *)set_trap_number_then_call;
        wine_handlers[signal] = action->handler;
        result = next_sigaction(signal, &wrapped, previous);
    } else {
        result = next_sigaction(signal, action, previous);
    }
    if (result != 0) {
        wine_handlers[signal] = earlier_handler;
        return result;
    }
    /* The caller sees its own handler, never the wrapper. */
    if (previous && previous->handler == (void *)set_trap_number_then_call)
        previous->handler = earlier_handler;
    return 0;
}

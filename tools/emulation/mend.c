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
 * 3. One descriptor table for all threads. On Linux each thread has its own
 *    thread-local entries of the GDT (set_thread_area); the emulator keeps a
 *    single GDT for the whole process. A segment register keeps the base it
 *    was loaded with, but it is loaded again on every return from a signal
 *    (the emulator's sigreturn reloads %fs and %gs from the frame's
 *    selectors), and Wine reloads both at the start of each of its signal
 *    handlers. A thread then gets the base that the newest thread wrote:
 *    another thread's TEB in %fs, another thread's C library block in %gs.
 *    The LDT, one per process on Linux too, has entries enough to give each
 *    thread selectors of its own, and then a reload finds the thread's own
 *    base again:
 *    - Wine's set_thread_area (glibc's syscall(), number 243) is refused.
 *      Wine then gives each thread's TEB an LDT entry of its own (its
 *      fallback for kernels without set_thread_area; LDT entries from 512
 *      up, as %gs is an LDT selector by then).
 *    - Each thread's C library block gets an LDT entry below 512 (the main
 *      thread's in the constructor, every other one's as it starts, through
 *      pthread_create), and %gs is loaded with it. pthread_create itself
 *      runs with the GDT selector again: the C library takes the new
 *      thread's entry number from the caller's %gs, and the emulator loads
 *      the new thread's %gs from the entry the clone writes; the GDT entry
 *      holds the caller's own base meanwhile, under a lock and with signals
 *      blocked, so nothing reloads it.
 *    An entry is taken again only once the thread that had it is gone.
 *
 * It builds without 32-bit C headers (tools/emulation/build.sh), so the few
 * declarations it needs are written out here for the i386 Linux ABI.
 */

typedef __SIZE_TYPE__ size_t;

extern void *dlsym(void *handle, const char *name);
extern int *__errno_location(void);
extern int munmap(void *address, size_t length);
extern void *malloc(size_t size);
extern void free(void *pointer);
extern long write(int fd, const void *buffer, size_t count);
extern int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void),
                             void *dso_handle);

#define RTLD_NEXT ((void *)-1)
#define ESRCH 3
#define EAGAIN 11
#define EEXIST 17
#define ENOSYS 38

/* mmap */

#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)

typedef void *(*mmap_function)(void *, size_t, int, int, int, long);
typedef void *(*mmap64_function)(void *, size_t, int, int, int, long long);

/* What the kernel answers to MAP_FIXED_NOREPLACE, given where the hint
   landed: the mapping at the wanted address, or EEXIST. */
static void *placed_or_refused(void *wanted, void *placed, size_t length) {
    if (placed == MAP_FAILED || placed == wanted)
        return placed;
    munmap(placed, length);
    *__errno_location() = EEXIST;
    return MAP_FAILED;
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, long offset) {
    static mmap_function next_mmap;
    void *placed;

    if (!next_mmap)
        next_mmap = (mmap_function)dlsym(RTLD_NEXT, "mmap");
    if (!(flags & MAP_FIXED_NOREPLACE))
        return next_mmap(address, length, protection, flags, fd, offset);
    placed = next_mmap(address, length, protection, flags & ~MAP_FIXED_NOREPLACE, fd, offset);
    return placed_or_refused(address, placed, length);
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, long long offset) {
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
    void *handler;          /* sa_handler, or sa_sigaction with SA_SIGINFO */
    unsigned long mask[32]; /* sa_mask, 1024 bits */
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

static int is_fault_signal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE ||
           signal == SIGTRAP || signal == SIGILL;
}

static int trap_number(int signal, int code) {
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
        return TRAP_GENERAL_PROTECTION; /* segment faults */
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

static void set_trap_number_then_call(int signal, struct signal_info *info, void *context) {
    unsigned int *trap = (unsigned int *)((char *)context + TRAP_NUMBER_OFFSET);

    if (*trap > TRAP_HIGHEST)
        *trap = trap_number(signal, info->code);
    ((info_handler)wine_handlers[signal])(signal, info, context);
}

int sigaction(int signal, const struct i386_sigaction *action, struct i386_sigaction *previous) {
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

/* Segments */

#define SYS_GETPID 20
#define SYS_MODIFY_LDT 123
#define SYS_SCHED_YIELD 158
#define SYS_GETTID 224
#define SYS_SET_THREAD_AREA 243
#define SYS_TGKILL 270

#define MODIFY_LDT_WRITE 0x11
/* The flags word of struct user_desc as the C library fills it for a thread
   block: seg_32bit, limit_in_pages, useable. */
#define THREAD_BLOCK_FLAGS 0x51
#define THREAD_BLOCK_LIMIT 0xfffff

/* LDT entries for the C library's thread blocks. Wine takes 512 and up once
   %gs is an LDT selector; 6 to 8 are left out so that an entry number taken
   from such a selector never names a thread-local entry of the GDT. */
#define FIRST_BLOCK_ENTRY 9
#define LAST_BLOCK_ENTRY 511

#define SIG_SETMASK 2

struct user_desc {
    unsigned int entry_number;
    unsigned int base_address;
    unsigned int limit;
    unsigned int flags;
};

/* sigset_t of the i386 C library: 1024 bits. */
struct signal_set {
    unsigned long bits[32];
};

typedef long (*syscall_function)(long, long, long, long, long, long, long);
typedef int (*pthread_create_function)(void *, const void *, void *(*)(void *), void *);
typedef int (*pthread_sigmask_function)(int, const struct signal_set *, struct signal_set *);

/* Set once the main thread runs on an LDT entry of its own; until then (and
   where that failed) everything below passes straight on. */
static int per_thread_segments;
static unsigned short gdt_block_selector;     /* the C library's own, in the GDT */
static int block_owner[LAST_BLOCK_ENTRY + 1]; /* thread id; 0 while never used */
static volatile int table_lock, create_lock;

/* System calls through int $0x80: they answer -errno, and never come back
   through this library's own syscall(). */
static long raw_syscall(long number, long a, long b, long c) {
    long result;
    __asm__ volatile("int $0x80"
                     : "=a"(result)
                     : "0"(number), "b"(a), "c"(b), "d"(c)
                     : "memory");
    return result;
}

static void take(volatile int *lock) {
    while (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE))
        raw_syscall(SYS_SCHED_YIELD, 0, 0, 0);
}

static void give_back(volatile int *lock) {
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

static unsigned short gs_selector(void) {
    unsigned short selector;
    __asm__ volatile("movw %%gs,%0"
                     : "=r"(selector));
    return selector;
}

static void load_gs(unsigned short selector) {
    __asm__ volatile("movw %0,%%gs"
                     :
                     : "r"(selector)
                     : "memory");
}

static unsigned short fs_selector(void) {
    unsigned short selector;
    __asm__ volatile("movw %%fs,%0"
                     : "=r"(selector));
    return selector;
}

/* The thread's C library block: its first word points at itself. */
static void *thread_block(void) {
    void *block;
    __asm__ volatile("movl %%gs:0,%0"
                     : "=r"(block));
    return block;
}

static void complain(const char *text) {
    static const char prefix[] = "emulation mend: ";
    const char *end = text;

    while (*end)
        end++;
    write(2, prefix, sizeof prefix - 1);
    write(2, text, end - text);
}

/* An entry no thread has, or whose thread is gone (tgkill with signal 0
   answers ESRCH once a thread has ended for good). */
static int take_block_entry(int thread) {
    long process = raw_syscall(SYS_GETPID, 0, 0, 0);
    int entry, found = -1;

    take(&table_lock);
    for (entry = FIRST_BLOCK_ENTRY; entry <= LAST_BLOCK_ENTRY && found < 0; entry++)
        if (!block_owner[entry])
            found = entry;
    for (entry = FIRST_BLOCK_ENTRY; entry <= LAST_BLOCK_ENTRY && found < 0; entry++)
        if (raw_syscall(SYS_TGKILL, process, block_owner[entry], 0) == -ESRCH)
            found = entry;
    if (found >= 0)
        block_owner[found] = thread;
    give_back(&table_lock);
    return found;
}

/* Puts the calling thread's C library block into an LDT entry of its own
   and %gs on it. Answers 0 when done; otherwise %gs stays as it was. */
static int own_block_segment(void) {
    void *block = thread_block();
    int thread = raw_syscall(SYS_GETTID, 0, 0, 0);
    int entry = take_block_entry(thread);
    unsigned short before = gs_selector();
    struct user_desc desc;

    if (entry < 0)
        return -1;
    desc.entry_number = entry;
    desc.base_address = (unsigned int)block;
    desc.limit = THREAD_BLOCK_LIMIT;
    desc.flags = THREAD_BLOCK_FLAGS;
    if (raw_syscall(SYS_MODIFY_LDT, MODIFY_LDT_WRITE, (long)&desc, sizeof desc) == 0) {
        load_gs((unsigned short)(entry << 3 | 7));
        if (thread_block() == block)
            return 0;
        load_gs(before);
    }
    take(&table_lock);
    block_owner[entry] = 0;
    give_back(&table_lock);
    return -1;
}

/* After fork the child's only thread has a new id; the other entries'
   threads are not the child's, and the locks' holders are gone. */
static void after_fork_in_child(void) {
    int thread = raw_syscall(SYS_GETTID, 0, 0, 0);
    unsigned short selector = gs_selector();

    table_lock = 0;
    create_lock = 0;
    if (selector & 4)
        block_owner[selector >> 3] = thread;
}

__attribute__((constructor)) static void start_per_thread_segments(void) {
    unsigned short selector = gs_selector();

    /* Only the usual start: the C library's block in a GDT entry. */
    if (selector == 0 || (selector & 4))
        return;
    gdt_block_selector = selector;
    if (own_block_segment() != 0) {
        complain("no LDT entry for the thread block; threads may run on each other's segments\n");
        return;
    }
    /* Wine's preloader leaves %fs on a GDT entry of its own, and Wine then
       uses that entry for every thread's TEB. Cleared, Wine asks for one. */
    if (fs_selector() != 0 && !(fs_selector() & 4))
        __asm__ volatile("movw %0,%%fs"
                         :
                         : "r"((unsigned short)0));
    __register_atfork(0, 0, after_fork_in_child, 0);
    per_thread_segments = 1;
}

/* syscall() is variadic; in the i386 calling convention the caller's
   arguments lie on the stack all the same, and six are the most it takes. */
long syscall(long number, long a, long b, long c, long d, long e, long f) {
    static syscall_function next_syscall;

    if (number == SYS_SET_THREAD_AREA && per_thread_segments) {
        *__errno_location() = ENOSYS;
        return -1;
    }
    if (!next_syscall)
        next_syscall = (syscall_function)dlsym(RTLD_NEXT, "syscall");
    return next_syscall(number, a, b, c, d, e, f);
}

struct thread_start_record {
    void *(*start)(void *);
    void *argument;
    struct signal_set mask;
};

static pthread_sigmask_function next_pthread_sigmask(void) {
    static pthread_sigmask_function next;

    if (!next)
        next = (pthread_sigmask_function)dlsym(RTLD_NEXT, "pthread_sigmask");
    return next;
}

static void *start_on_own_segment(void *argument) {
    struct thread_start_record record = *(struct thread_start_record *)argument;
    static int complained;

    free(argument);
    if (own_block_segment() != 0 && !__atomic_exchange_n(&complained, 1, __ATOMIC_RELAXED))
        complain("no LDT entry left for a thread block; threads may run on each other's segments\n");
    next_pthread_sigmask()(SIG_SETMASK, &record.mask, 0);
    return record.start(record.argument);
}

int pthread_create(void *thread, const void *attributes, void *(*start)(void *), void *argument) {
    static pthread_create_function next_pthread_create;
    struct thread_start_record *record;
    struct signal_set all, mask;
    unsigned short own;
    struct user_desc desc;
    unsigned int i;
    int result;

    if (!next_pthread_create)
        next_pthread_create = (pthread_create_function)dlsym(RTLD_NEXT, "pthread_create");
    own = gs_selector();
    if (!per_thread_segments || !(own & 4))
        return next_pthread_create(thread, attributes, start, argument);
    record = malloc(sizeof *record);
    if (!record)
        return EAGAIN;
    record->start = start;
    record->argument = argument;
    /* The new thread starts with every signal blocked (the C library gives
       it the caller's mask) and sets the caller's own once on its segment. */
    for (i = 0; i < sizeof all.bits / sizeof all.bits[0]; i++)
        all.bits[i] = ~0ul;
    next_pthread_sigmask()(SIG_SETMASK, &all, &mask);
    record->mask = mask;

    take(&create_lock);
    desc.entry_number = gdt_block_selector >> 3;
    desc.base_address = (unsigned int)thread_block();
    desc.limit = THREAD_BLOCK_LIMIT;
    desc.flags = THREAD_BLOCK_FLAGS;
    result = EAGAIN;
    if (raw_syscall(SYS_SET_THREAD_AREA, (long)&desc, 0, 0) == 0) {
        load_gs(gdt_block_selector);
        if (thread_block() == (void *)desc.base_address)
            result = next_pthread_create(thread, attributes, start_on_own_segment, record);
        load_gs(own);
    }
    give_back(&create_lock);

    next_pthread_sigmask()(SIG_SETMASK, &mask, 0);
    if (result != 0)
        free(record);
    return result;
}

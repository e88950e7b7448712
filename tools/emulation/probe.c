/*
 * The probe of scripts/setup.sh: a static i386 program that only makes the
 * exit system call with status 42. If it exits with 42, the kernel runs
 * 32-bit code itself. setup.sh sets byte 15 of the ELF identification to a
 * nonzero value after linking: the kernel's loader ignores that byte, but
 * a qemu binfmt_misc entry requires it to be 0, so an emulator already
 * registered for i386 programs cannot answer for the kernel.
 *
 * Built with: gcc -m32 -c -ffreestanding -nostdlib; ld -m elf_i386
 */
void _start(void) {
    __asm__ volatile("int $0x80"
                     :
                     : "a"(1), "b"(42));
    for (;;) {
    }
}

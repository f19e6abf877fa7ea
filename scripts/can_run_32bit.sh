# shellcheck shell=bash
# Sourced by the 32-bit stages (scripts/linux32.sh, scripts/windows.sh).
# can_run_32bit: whether this machine's kernel runs 32-bit x86 programs
# (some kernels have 32-bit emulation turned off). A two-instruction program
# tells, before anything is built or installed for nothing; it needs only
# the assembler and linker of binutils.
# why_no_32bit: the reason to print when it does not.
can_run_32bit() {
    local dir rc
    dir=$(mktemp -d)
    printf '.globl _start\n_start: movl $1, %%eax\n movl $0, %%ebx\n int $0x80\n' >"$dir/exit.s"
    as --32 -o "$dir/exit.o" "$dir/exit.s" && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" &&
        "$dir/exit" 2>/dev/null
    rc=$?
    rm -rf "$dir"
    return $rc
}

why_no_32bit() {
    local reason="this machine's kernel runs no 32-bit programs" kernel_says
    kernel_says=$(dmesg 2>/dev/null | grep -i '32-bit emulation' | tail -n 1 | sed 's/^\[[^]]*\] *//')
    [[ -n "$kernel_says" ]] && reason+=" (the kernel: \"$kernel_says\")"
    echo "$reason"
}

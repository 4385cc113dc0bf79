# Small IA-32 routines the platform tests call as guest code, so that ports,
# MSRs, memory and services are reached by real instructions. Each routine
# starts at a multiple of 64 bytes; guest_stubs.h names them by that index.
# All are cdecl: arguments at 4(%esp), 8(%esp) ..., result in EAX.
        .code32
        .text
        .macro routine index
        .org \index * 64
        .endm

routine 0       # callFunction(fn, a, b, c, d, e, f): return fn(a, ..., f)
        push %ebp
        mov %esp, %ebp
        pushl 32(%ebp)
        pushl 28(%ebp)
        pushl 24(%ebp)
        pushl 20(%ebp)
        pushl 16(%ebp)
        pushl 12(%ebp)
        call *8(%ebp)
        add $24, %esp
        pop %ebp
        ret
routine 1       # in8(port)
        mov 4(%esp), %edx
        xor %eax, %eax
        inb %dx, %al
        ret
routine 2       # in16(port)
        mov 4(%esp), %edx
        xor %eax, %eax
        inw %dx, %ax
        ret
routine 3       # in32(port)
        mov 4(%esp), %edx
        inl %dx, %eax
        ret
routine 4       # out32(port, value)
        mov 4(%esp), %edx
        mov 8(%esp), %eax
        outl %eax, %dx
        ret
routine 5       # out8(port, value)
        mov 4(%esp), %edx
        mov 8(%esp), %eax
        outb %al, %dx
        ret
routine 6       # rdmsrLow(index)
        mov 4(%esp), %ecx
        rdmsr
        ret
routine 7       # rdmsrHigh(index)
        mov 4(%esp), %ecx
        rdmsr
        mov %edx, %eax
        ret
routine 8       # wrmsr(index, low, high)
        mov 4(%esp), %ecx
        mov 8(%esp), %eax
        mov 12(%esp), %edx
        wrmsr
        ret
routine 9       # read32(address)
        mov 4(%esp), %eax
        mov (%eax), %eax
        ret
routine 10      # read16(address)
        mov 4(%esp), %ecx
        xor %eax, %eax
        movw (%ecx), %ax
        ret
routine 11      # write32(address, value)
        mov 4(%esp), %ecx
        mov 8(%esp), %eax
        mov %eax, (%ecx)
        ret
routine 12      # fsRead32(offset)
        mov 4(%esp), %ecx
        mov %fs:(%ecx), %eax
        ret
routine 13      # fsWrite32(offset, value)
        mov 4(%esp), %ecx
        mov 8(%esp), %eax
        mov %eax, %fs:(%ecx)
        ret
routine 14      # reloadFs(): FS from the flat data descriptor again
        mov $0x10, %eax
        mov %ax, %fs
        ret
routine 15      # spin(): never returns
        jmp .
routine 16      # countingCallback(services, descriptor, ppi): records ppi
        mov 0x00200000, %eax
        mov 12(%esp), %ecx
        mov %ecx, 0x00200004(,%eax,4)
        inc %eax
        mov %eax, 0x00200000
        xor %eax, %eax
        ret
routine 17      # installingCallback(services, ...): InstallPpi(services, [0x00200100])
        mov 4(%esp), %eax
        pushl 0x00200100
        push %eax
        mov (%eax), %eax
        call *24(%eax)
        add $8, %esp
        ret
routine 18      # servicesBelowIdt(): the 4 bytes below the IDT base
        sub $8, %esp
        sidt (%esp)
        mov 2(%esp), %eax
        mov -4(%eax), %eax
        add $8, %esp
        ret
routine 19      # undefined(): an invalid instruction
        ud2
routine 20      # halt()
        hlt
        ret
routine 21      # clobber(): changes EBX and leaves the direction flag set
        mov $1, %ebx
        std
        ret
routine 22      # callFunction8(fn, a, b, c, d, e, f, g, h): return fn(a, ..., h)
        push %ebp
        mov %esp, %ebp
        pushl 40(%ebp)
        pushl 36(%ebp)
        pushl 32(%ebp)
        pushl 28(%ebp)
        pushl 24(%ebp)
        pushl 20(%ebp)
        pushl 16(%ebp)
        pushl 12(%ebp)
        call *8(%ebp)
        add $32, %esp
        pop %ebp
        ret

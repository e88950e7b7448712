# Sourced, not run:  . scripts/emulation-env.sh
# by the main job, the test command and the benchmarks, after the build.
#
# On a host whose kernel runs no 32-bit code, scripts/setup.sh registers
# qemu-i386 for i386 programs, and Wine's i386 side runs under it. Wine
# needs the mend library (tools/emulation/mend.c, built into build/emulation
# by scripts/build.sh) preloaded into those emulated programs only: qemu puts
# the assignments of QEMU_SET_ENV into the environment of the program it
# runs, so native programs never see it. $LIB stays literal; each dynamic
# loader expands it, and 64-bit programs that inherit the variable from an
# emulated one find an empty library of the same name.
#
# Where the emulator is registered this exports QEMU_SET_ENV and
# DISCMEND_EMULATED=1 (tests and benchmarks may allow for the slower run).
# Elsewhere it exports and changes nothing.
_discmend_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if bash "$_discmend_root/tools/emulation/registered.sh"; then
    _discmend_preload="LD_PRELOAD=$_discmend_root/build/emulation/\$LIB/libemumend.so"
    if [ ! -f "$_discmend_root/build/emulation/lib/i386-linux-gnu/libemumend.so" ]; then
        echo "emulation-env: the mend library is not built; Wine will fail under qemu (run scripts/build.sh)" >&2
    fi
    case $_discmend_root in
        *[[:space:],:]*)
            echo "emulation-env: the checkout's path holds a blank, comma or colon; the preload path cannot be passed to qemu" >&2 ;;
    esac
    case ",${QEMU_SET_ENV:-}," in
        *",$_discmend_preload,"*) ;;
        ",,") export QEMU_SET_ENV="$_discmend_preload" ;;
        *) export QEMU_SET_ENV="$QEMU_SET_ENV,$_discmend_preload" ;;
    esac
    export DISCMEND_EMULATED=1
    unset _discmend_preload
fi
unset _discmend_root

#!/usr/bin/env bash
# Exits 0 when the kernel hands i386 programs to qemu: binfmt_misc is mounted
# and enabled and has an enabled entry whose interpreter is qemu-i386.
# Exits 1 otherwise (the usual case: the kernel runs them itself).
dir=/proc/sys/fs/binfmt_misc
[ -r "$dir/status" ] || exit 1
read -r status <"$dir/status" || exit 1
[ "$status" = enabled ] || exit 1
for entry in "$dir"/*; do
    case ${entry##*/} in
        register | status) continue ;;
    esac
    [ -r "$entry" ] || continue
    state=""
    interpreter=""
    while read -r key value; do
        case $key in
            enabled | disabled) state=$key ;;
            interpreter) interpreter=$value ;;
        esac
    done <"$entry"
    if [ "$state" = enabled ]; then
        case ${interpreter##*/} in
            qemu-i386 | qemu-i386-static | i386-binfmt-P) exit 0 ;;
        esac
    fi
done
exit 1

# Sourced by the scripts: which Wine loader runs which Windows program, and whether this machine
# runs 32-bit x86 programs at all (some kernels refuse them with "Exec format error"; Debian's
# 32-bit Wine loader then fails the same way).
#
# WINE64 is Wine's 64-bit loader. It runs every x86_64 Windows program: plain `wine` is a script
# that prefers the 32-bit loader whenever wine32:i386 is installed, and so breaks 64-bit programs
# too on a machine that runs no 32-bit ones. WINE32 is the 32-bit loader, for i686 programs.
#
# efi_detect_32bit finds out once per run (the results are exported to the scripts it starts):
#   EFI_NATIVE32=yes|no, EFI_NATIVE32_WHY  a -m32 program builds and runs; why not
#   EFI_WINE32=yes|no, EFI_WINE32_WHY      Wine's 32-bit loader runs; why not
# EFI_32BIT=no forces both to "no", to try the other kind of machine on this one.

WINE64=${WINE64:-$(command -v wine64 2>/dev/null || echo /usr/lib/wine/wine64)}
WINE32=${WINE32:-/usr/lib/wine/wine}
export WINE64 WINE32

efi_detect_32bit() {
  [ -n "${EFI_NATIVE32:-}" ] && [ -n "${EFI_WINE32:-}" ] && return 0
  local kernel="this machine's kernel runs no 32-bit programs"
  EFI_NATIVE32=no EFI_WINE32=no
  if [ "${EFI_32BIT:-}" = no ]; then
    EFI_NATIVE32_WHY="32-bit programs switched off (EFI_32BIT=no)"
    EFI_WINE32_WHY=$EFI_NATIVE32_WHY
  else
    local probe
    probe=$(mktemp -d)
    EFI_NATIVE32_WHY=$kernel
    if printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' >"$probe/probe.c" &&
      gcc -m32 "$probe/probe.c" -o "$probe/probe" >/dev/null 2>&1; then
      "$probe/probe" >/dev/null 2>&1 && EFI_NATIVE32=yes EFI_NATIVE32_WHY=""
    else
      EFI_NATIVE32_WHY="gcc -m32 builds no program here (g++-multilib missing?)"
    fi
    rm -rf "$probe"
    if [ ! -x "$WINE32" ]; then
      EFI_WINE32_WHY="no 32-bit Wine loader ($WINE32; Debian's wine32:i386 is not installed)"
    elif "$WINE32" --version >/dev/null 2>&1; then
      EFI_WINE32=yes EFI_WINE32_WHY=""
    else
      EFI_WINE32_WHY=$kernel
    fi
  fi
  export EFI_NATIVE32 EFI_NATIVE32_WHY EFI_WINE32 EFI_WINE32_WHY
}

#!/usr/bin/env bash
# Exit 0 when this machine's kernel runs 32-bit x86 programs, 1 (with the reason on stderr) when
# it does not; with --wine, also when 32-bit Wine is not installed. 32-bit Wine needs it, and a kernel can be built or booted without it
# (ia32_emulation=off): then every i386 program fails with "Exec format error", Wine included.
# The probe is a 93-byte static i386 program that only calls exit(0), written on the spot, so it
# needs no 32-bit library or compiler.
set -uo pipefail
if [ "${1:-}" = --wine ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "32-bit Wine (wine32:i386) is not installed; make deps says why it could not install it" >&2
  exit 1
fi
probe=$(mktemp /tmp/ket-ia32.XXXXXX)
trap 'rm -f "$probe"' EXIT
python3 - "$probe" <<'PY'
import struct, sys
code = bytes.fromhex("b801000000" "31db" "cd80")  # mov eax,1; xor ebx,ebx; int 0x80
base, hdr = 0x08048000, 52 + 32
elf = (b"\x7fELF\x01\x01\x01" + bytes(9)
       + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + hdr, 52, 0, 0, 52, 32, 1, 0, 0, 0)
       + struct.pack("<IIIIIIII", 1, 0, base, base, hdr + len(code), hdr + len(code), 5, 0x1000)
       + code)
open(sys.argv[1], "wb").write(elf)
PY
chmod +x "$probe"
if "$probe" 2>/dev/null; then exit 0; fi
echo "this machine's kernel does not run 32-bit x86 programs (IA-32 emulation is off: boot it with" \
  "ia32_emulation=on, or use a machine that has it), so 32-bit Wine cannot start here" >&2
exit 1

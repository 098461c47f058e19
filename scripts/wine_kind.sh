# Sourced by the scripts that set up or run Wine. Decides which Wine this
# machine can run:
#   win32  the kernel runs 32-bit Linux programs: 32-bit Wine runs the agent
#          exactly as it ships (build/win).
#   win64  it does not (no IA-32 emulation): 64-bit Wine runs a 64-bit build
#          of the same sources (build/win64); the shipped 32-bit executable is
#          still built and checked as a file.
# TREVANTO_WINE_KIND overrides the probe.

wine_kind() {
  if [ -n "${TREVANTO_WINE_KIND:-}" ]; then echo "$TREVANTO_WINE_KIND"; return; fi
  local dir
  dir=$(mktemp -d)
  # The smallest 32-bit program: exit(42).
  printf '.globl _start\n_start:\n mov $1,%%eax\n mov $42,%%ebx\n int $0x80\n' > "$dir/p.s"
  local kind=win64
  if as --32 "$dir/p.s" -o "$dir/p.o" 2>/dev/null && ld -m elf_i386 "$dir/p.o" -o "$dir/p" 2>/dev/null; then
    "$dir/p" 2>/dev/null
    [ $? -eq 42 ] && kind=win32
  fi
  rm -rf "$dir"
  echo "$kind"
}

# The build tree whose programs run under this machine's Wine.
wine_tree_name() {
  if [ "$(wine_kind)" = win32 ]; then echo win; else echo win64; fi
}

#!/usr/bin/env python3
"""Where the hot loops of a linked program sit against 64-byte code blocks.

A short loop that straddles a 64-byte boundary is fetched as two blocks on
every iteration, and on some cores that costs a fifth of the naive loop's
speed. So the figure would depend on where the linker happened to put it.
This reads a program's disassembly (binutils' objdump) and, for each named
function, finds its hot loops: the innermost loops that do floating-point
arithmetic, the widest such if the function has vector ones. A loop is well
placed when it spans no more 64-byte blocks than its length needs.

  loop_placement.py [--objdump OBJDUMP] PROGRAM FUNCTION_REGEX...

Prints one line per hot loop and exits 1 if any is misplaced, or if a
function named has none (or is missing): a check that finds nothing must
not pass.
"""

import argparse
import dataclasses
import re
import subprocess
import sys

BLOCK = 64

# "0000000000009350 <name(args)>:"
_FUNCTION = re.compile(r"^([0-9a-f]+) <(.*)>:$")
# "    94b8:\tc5 dd 59 0c 0e   \tvmulpd (%rsi,%rcx,1),%ymm4,%ymm1"
_INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+?)\s*\t(\S+)\s*(.*)$")
# A branch's target: the address before "<symbol+offset>", which AArch64's
# objdump may follow with a comment ("b.ne 2680 <f+0x120>  // b.any").
_TARGET = re.compile(r"\b([0-9a-f]+) <[^>]*>\s*(//.*)?$")
# Prefixes objdump prints before a branch's mnemonic.
_PREFIXES = {"bnd", "notrack", "ds", "cs", "rex", "rex.W"}

# Floating-point arithmetic of the loops we place: x86 (SSE, AVX) and
# AArch64. The vector forms are the hot loop when a function has them.
_X86_FP = re.compile(r"^v?(mul|add|fmadd\d*|fmsub\d*)(pd|sd)$")
_ARM_FP = re.compile(r"^(fmul|fadd|fmla)$")


@dataclasses.dataclass(frozen=True)
class Instruction:
    address: int
    size: int
    mnemonic: str
    operands: str


@dataclasses.dataclass(frozen=True)
class Loop:
    function: str
    start: int  # the backward branch's target
    end: int  # just past the backward branch
    vector: bool  # does vector floating-point arithmetic

    @property
    def size(self):
        return self.end - self.start

    @property
    def blocks(self):
        return (self.end - 1) // BLOCK - self.start // BLOCK + 1

    @property
    def fewest_blocks(self):
        return -(-self.size // BLOCK)

    @property
    def well_placed(self):
        return self.blocks == self.fewest_blocks

    def describe(self):
        verdict = "ok" if self.well_placed else "MISPLACED"
        return (f"{verdict}: {self.function}: hot loop 0x{self.start:x}-0x{self.end:x}, "
                f"{self.size} bytes at offset {self.start % BLOCK} of its 64-byte block, "
                f"spans {self.blocks} block(s), needs {self.fewest_blocks}")


def parse_functions(text):
    """objdump -d text -> {function name: [Instruction, ...]} in address order."""
    functions = {}
    current = None
    for line in text.splitlines():
        match = _FUNCTION.match(line)
        if match:
            current = functions.setdefault(match.group(2), [])
            continue
        match = _INSTRUCTION.match(line)
        if match and current is not None:
            raw = match.group(2).split()
            # x86 prints bytes ("c5 dd"), AArch64 whole words ("d503201f").
            size = sum(len(word) // 2 for word in raw)
            current.append(Instruction(int(match.group(1), 16), size, match.group(3),
                                       match.group(4)))
    return functions


def _mnemonic(instruction):
    words = [instruction.mnemonic] + instruction.operands.split()
    for word in words:
        if word not in _PREFIXES:
            return word
    return instruction.mnemonic


def _is_conditional_branch(mnemonic):
    if mnemonic.startswith("j"):  # x86: every j* but jmp
        return mnemonic != "jmp"
    return mnemonic.startswith("b.") or mnemonic in ("cbz", "cbnz", "tbz", "tbnz", "loop")


def _fp_kind(instruction):
    """None, "scalar" or "vector" for the floating-point work it does."""
    mnemonic = _mnemonic(instruction)
    match = _X86_FP.match(mnemonic)
    if match:
        return "vector" if match.group(2) == "pd" else "scalar"
    if _ARM_FP.match(mnemonic):
        return "vector" if ".2d" in instruction.operands else "scalar"
    return None


def hot_loops(name, instructions):
    """The innermost loops of one function that do floating-point work,
    only the vector ones if there are any."""
    if not instructions:
        return []
    first, last = instructions[0].address, instructions[-1].address
    spans = []
    for instruction in instructions:
        if not _is_conditional_branch(_mnemonic(instruction)):
            continue
        target = _TARGET.search(instruction.operands)
        if not target:
            continue
        start = int(target.group(1), 16)
        if first <= start <= instruction.address <= last:
            spans.append((start, instruction.address + instruction.size))
    innermost = [
        (s, e) for s, e in spans
        if not any((s2, e2) != (s, e) and s <= s2 and e2 <= e for s2, e2 in spans)
    ]
    loops = []
    for start, end in innermost:
        kinds = {_fp_kind(i) for i in instructions if start <= i.address < end}
        if kinds - {None}:
            loops.append(Loop(name, start, end, "vector" in kinds))
    if any(loop.vector for loop in loops):
        loops = [loop for loop in loops if loop.vector]
    return loops


def check(text, patterns):
    """(lines to print, all well placed) for the functions matching each pattern."""
    functions = parse_functions(text)
    lines, ok = [], True
    for pattern in patterns:
        names = [name for name in functions if re.search(pattern, name)]
        if not names:
            lines.append(f"MISSING: no function matches {pattern!r}")
            ok = False
        for name in names:
            loops = hot_loops(name, functions[name])
            if not loops:
                lines.append(f"MISSING: {name}: no floating-point loop found")
                ok = False
            for loop in loops:
                lines.append(loop.describe())
                ok = ok and loop.well_placed
    return lines, ok


def disassemble(objdump, program):
    return subprocess.run([objdump, "-d", "-C", "--insn-width=16", program], check=True,
                          capture_output=True, text=True).stdout


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("program")
    parser.add_argument("patterns", nargs="+", metavar="FUNCTION_REGEX")
    args = parser.parse_args(argv)
    try:
        text = disassemble(args.objdump, args.program)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"loop_placement: cannot disassemble {args.program}: {error}", file=sys.stderr)
        return 2
    lines, ok = check(text, args.patterns)
    print("\n".join(lines))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

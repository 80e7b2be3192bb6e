"""The hot-loop placement check, on a real disassembly and on moved copies of it."""

import re

import loop_placement
import pytest
from conftest import FIXTURES
# objdump of the x86-64-v4 naive loop as once linked into matmul-bench,
# with its 24-byte hot loop 56 bytes into a 64-byte block.
STRADDLING = (FIXTURES / "x86-64-v4-straddling.objdump").read_text()
V4 = r"^simple_multiply_x86_64_v4\("


def moved(text, delta):
    """The same code linked `delta` bytes further on: every address and
    branch target shifted."""
    def shift(match):
        return f"{int(match.group(1), 16) + delta:x}{match.group(2)}"
    text = re.sub(r"^(\s*[0-9a-f]+)(:\t)", lambda m: f"{int(m.group(1), 16) + delta:8x}:\t",
                  text, flags=re.M)
    text = re.sub(r"^([0-9a-f]{16})( <)", lambda m: f"{int(m.group(1), 16) + delta:016x} <",
                  text, flags=re.M)
    return re.sub(r"\b([0-9a-f]+)( <[^>]*>\s*)$", shift, text, flags=re.M)


def test_real_straddling_loop_is_found_and_refused():
    lines, ok = loop_placement.check(STRADDLING, [V4])
    assert not ok
    assert lines == [line for line in lines if line.startswith("MISPLACED")]
    (loop,) = loop_placement.hot_loops("f", loop_placement.parse_functions(STRADDLING)[
        "simple_multiply_x86_64_v4(double const*, double const*, int, int, int, double*)"])
    # The vector loop only: not the outer loops, not the backward jmp, not
    # the scalar tail.
    assert (loop.start, loop.end, loop.vector) == (0x94B8, 0x94D0, True)
    assert (loop.blocks, loop.fewest_blocks) == (2, 1)


@pytest.mark.parametrize("delta", range(0, 64, 4))
def test_every_placement_of_the_loop_judged_by_its_block(delta):
    lines, ok = loop_placement.check(moved(STRADDLING, delta), [V4])
    offset = (56 + delta) % 64
    assert ok == (offset + 24 <= 64), lines
    assert f"at offset {offset} of" in lines[0]


def test_long_loop_needs_only_its_fewest_blocks():
    for start, ok in ((0x1000, True), (0x1008, True), (0x1030, False)):
        loop = loop_placement.Loop("f", start, start + 81, True)
        assert loop.well_placed == ok, hex(start)


def test_nothing_to_check_is_a_failure():
    no_fp_loop = """
0000000000001000 <count(int)>:
    1000:\t31 c0                \txor    %eax,%eax
    1002:\t83 c0 01             \tadd    $0x1,%eax
    1005:\t39 f8                \tcmp    %edi,%eax
    1007:\t75 f9                \tjne    1002 <count(int)+0x2>
    1009:\tc3                   \tret
"""
    lines, ok = loop_placement.check(no_fp_loop, [r"^count\(", r"^absent\("])
    assert not ok
    assert [line.split(":")[0] for line in lines] == ["MISSING", "MISSING"]


AARCH64 = """
0000000000400800 <simple_multiply_armv8_a(double const*, double const*, int, int, int, double*)>:
  {a:x}:\t3ce16821 \tldr\tq1, [x1, x1]
  {b:x}:\t3ce06800 \tldr\tq0, [x0, x0]
  {c:x}:\t6e61dc00 \tfmul\tv0.2d, v0.2d, v1.2d
  {d:x}:\t4e61d400 \tfadd\tv0.2d, v0.2d, v1.2d
  {e:x}:\t3ca06800 \tstr\tq0, [x0, x0]
  {f:x}:\t91004000 \tadd\tx0, x0, #0x10
  {g:x}:\teb02001f \tcmp\tx0, x2
  {h:x}:\t54ffff21 \tb.ne\t{a:x} <simple_multiply_armv8_a(double const*, double const*, int, int, int, double*)+0x10>  // b.any
  {i:x}:\td65f03c0 \tret
"""


@pytest.mark.parametrize("start, ok", [(0x400840, True), (0x400860, True), (0x400864, False)])
def test_aarch64_loop(start, ok):
    addresses = {name: start + 4 * n for n, name in enumerate("abcdefghi")}
    lines, placed = loop_placement.check(AARCH64.format(**addresses), [r"^simple_multiply_"])
    assert placed == ok, lines


def test_command_line(tmp_path, capsys):
    not_a_program = tmp_path / "empty"
    not_a_program.write_text("")
    assert loop_placement.main([str(not_a_program), "x"]) == 2
    assert "cannot disassemble" in capsys.readouterr().err

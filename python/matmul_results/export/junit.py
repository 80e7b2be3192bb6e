"""The fleet report as JUnit XML, for CI systems: one test case per node,
a failure per flagged node with its findings, a skipped case with Slurm's
reason for each node that did not run."""

import re
import xml.etree.ElementTree as ET

# Characters that XML 1.0 cannot hold at all, even escaped.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _text(value):
    return _NOT_XML.sub("?", str(value))


def render(nodes, name, started):
    suite = ET.Element("testsuite", name=_text(name), timestamp=_text(started))
    failures = skipped = 0
    for node in nodes:
        case = ET.SubElement(suite, "testcase", name=_text(node.name),
                             classname=_text(f"matmul-bench.{node.group or 'not run'}"))
        if node.state == "not run":
            skipped += 1
            ET.SubElement(case, "skipped", message=_text(node.reason or "not run"))
        elif node.flags:
            failures += 1
            failure = ET.SubElement(case, "failure", message=_text("; ".join(node.flags)),
                                    type=_text(node.flags[0].split(":", 1)[0]))
            failure.text = _text("\n".join(node.flags + node.notes + (
                [node.reason] if node.reason else [])))
        if node.state == "ok":
            ET.SubElement(case, "system-out").text = _text(
                f"simple {node.simple_gbs:.2f} GB/s, blas {node.blas_gflops:.1f} GFLOP/s, "
                f"speedup {node.speedup:.1f}, diff {node.diff:.6f}; {node.library}, kernels "
                f"{node.kernels}, naive build {node.naive}")
    suite.set("tests", str(len(nodes)))
    suite.set("failures", str(failures))
    suite.set("errors", "0")
    suite.set("skipped", str(skipped))
    root = ET.Element("testsuites")
    root.append(suite)
    ET.indent(root)
    return ET.tostring(root, encoding="unicode", xml_declaration=True) + "\n"

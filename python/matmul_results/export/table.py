"""The one table renderer: a header and rows of cells, as aligned text for
the console or as Markdown, for the run, the libraries and the fleet."""


def text(header, rows, right=()):
    """Columns two blanks apart, each as wide as its widest cell; the
    columns numbered in `right` aligned to the right."""
    table = [list(map(str, header))] + [list(map(str, row)) for row in rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    return "\n".join(
        "  ".join(c.rjust(w) if i in right else c.ljust(w)
                  for i, (c, w) in enumerate(zip(r, widths))).rstrip() for r in table)


def _escape(cell):
    # Names come from clusters and libraries, not from us.
    return str(cell).replace("\\", "\\\\").replace("|", "\\|").replace("\n", " ")


def markdown(header, rows, right=()):
    """A Markdown table; the columns numbered in `right` aligned right."""
    rule = "|" + "|".join("---:" if i in right else "---" for i in range(len(header))) + "|"
    return "\n".join(["| " + " | ".join(map(_escape, header)) + " |", rule] +
                     ["| " + " | ".join(map(_escape, row)) + " |" for row in rows])

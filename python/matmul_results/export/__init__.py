"""Exporters: one per format, each a render(result) -> str, found by name.

The command line writes files only after every requested export has
rendered, so a failing one leaves no file behind."""

from . import json_export, markdown, svg

EXPORTERS = {"json": json_export.render, "markdown": markdown.render, "svg": svg.render}

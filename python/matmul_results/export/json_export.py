"""The result as JSON: every run with its facts, the summaries, the limits."""

import json

from ..model import encode


def render(result):
    # allow_nan=False: a NaN left unencoded is our bug, not the reader's.
    return json.dumps(encode(result.to_dict()), indent=2, allow_nan=False) + "\n"

"""The result as JSON: every run with its facts, the summaries, the limits."""

import json


def render(result):
    return json.dumps(result.to_dict(), indent=2) + "\n"

"""The findings as JSON: the report as it is, names and numbers whole."""

import json


def render(findings):
    return json.dumps(findings.report, indent=1) + "\n"

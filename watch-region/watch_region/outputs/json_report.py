"""The findings as JSON: the report as it is, names and numbers whole, under
the version of the schema it follows (report.schema.json)."""

import json

from ..report import SCHEMA_VERSION, json_tree


def render(findings):
    return json.dumps({"schema_version": SCHEMA_VERSION, **json_tree(findings.report)},
                      indent=1) + "\n"

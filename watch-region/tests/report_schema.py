"""Every JSON report a test reads, checked against the schema the tool ships
beside its modules (watch_region/report.schema.json, and for --compare's
comparison.schema.json) before the test looks at it. The check needs
python3-jsonschema, which the tests need and the tool does not: without it,
a test that reads a report fails saying so."""

import json
import os

MODULES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                        "watch_region"))
SCHEMA = os.path.join(MODULES, "report.schema.json")
NEEDED = "python3-jsonschema"


class SchemaError(Exception):
    """A report that the schema does not allow, or a check that cannot run."""


def validator(schema=SCHEMA):
    try:
        import jsonschema  # pylint: disable=import-outside-toplevel
    except ImportError:
        raise SchemaError(f"this test checks each JSON report against {SCHEMA} and needs "
                          f"Python's jsonschema (Debian package {NEEDED}), which is not "
                          "installed") from None
    made = validator.__dict__.setdefault("made", {})
    if schema not in made:
        with open(schema, encoding="utf-8") as text:
            loaded = json.load(text)
        jsonschema.Draft202012Validator.check_schema(loaded)
        made[schema] = jsonschema.Draft202012Validator(loaded)
    return made[schema]


def checked(report, schema=SCHEMA):
    """REPORT, a --json report as read, if the SCHEMA allows it; else
    SchemaError says where it does not."""
    errors = sorted(validator(schema).iter_errors(report), key=lambda error: list(error.path))
    if errors:
        raise SchemaError("; ".join(f"{'/'.join(map(str, error.path)) or 'top'}: {error.message}"
                                    for error in errors[:5]))
    return report


def loads(text, schema=SCHEMA):
    """The --json report TEXT, read and checked; {} where nothing was
    written, which the test's own checks then find wanting."""
    return checked(json.loads(text), schema) if text.strip() else {}


COMPARISON = os.path.join(MODULES, "comparison.schema.json")

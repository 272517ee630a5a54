"""Every JSON report a test reads, checked against the schema the tool ships
beside its modules (watch_region/report.schema.json) before the test looks
at it. The check needs python3-jsonschema, which the tests need and the tool
does not: without it, a test that reads a report fails saying so."""

import json
import os

SCHEMA = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                       "watch_region", "report.schema.json"))
NEEDED = "python3-jsonschema"


class SchemaError(Exception):
    """A report that the schema does not allow, or a check that cannot run."""


def validator():
    try:
        import jsonschema  # pylint: disable=import-outside-toplevel
    except ImportError:
        raise SchemaError(f"this test checks each JSON report against {SCHEMA} and needs "
                          f"Python's jsonschema (Debian package {NEEDED}), which is not "
                          "installed") from None
    if not hasattr(validator, "made"):
        with open(SCHEMA, encoding="utf-8") as schema:
            loaded = json.load(schema)
        jsonschema.Draft202012Validator.check_schema(loaded)
        validator.made = jsonschema.Draft202012Validator(loaded)
    return validator.made


def checked(report):
    """REPORT, a --json report as read, if the schema allows it; else
    SchemaError says where it does not."""
    errors = sorted(validator().iter_errors(report), key=lambda error: list(error.path))
    if errors:
        raise SchemaError("; ".join(f"{'/'.join(map(str, error.path)) or 'top'}: {error.message}"
                                    for error in errors[:5]))
    return report


def loads(text):
    """The --json report TEXT, read and checked; {} where nothing was
    written, which the test's own checks then find wanting."""
    return checked(json.loads(text)) if text.strip() else {}

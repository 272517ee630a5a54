"""--compare BASE.json NEW.json: two --json reports of --timeline runs
compared, running nothing: reading reads each (its processes, regions and
figures, with their spreads), gate compares them and gives the verdict of
--fail-if-slower; outputs/comparison.py writes it."""

from .gate import compared
from .reading import load


def comparison(base_path, new_path, percent=None):
    """The comparison of the reports at BASE_PATH and NEW_PATH, as the JSON
    gives it; CannotWatch (status 2) for a report that cannot be read."""
    base, new = load(base_path), load(new_path)
    return {"mode": "comparison", "base": base_path, "new": new_path,
            **compared(base, new, percent)}

"""Helpers shared by the designation families."""

from inspect import isabstract

__all__ = ["all_implementations"]


def all_implementations(cls: type) -> list[type]:
    """Return the concrete classes that derive from ``cls``, never ``cls`` itself.

    Subclasses are searched depth first, direct and indirect ones alike, each
    level in the order the classes were defined, so that a class comes before
    the classes derived from it. Abstract classes are skipped but their own
    subclasses are still searched. A class reached along several paths
    (multiple inheritance) is listed once, where it is first reached.
    """
    found: list[type] = []
    seen: set[type] = {cls}
    pending = list(reversed(type.__subclasses__(cls)))
    while pending:
        sub = pending.pop()
        if sub in seen:
            continue
        seen.add(sub)
        if not isabstract(sub):
            found.append(sub)
        pending.extend(reversed(type.__subclasses__(sub)))
    return found

"""Public classes shown (and pickled) under the package's name."""
from __future__ import annotations

import sys


def shown_as_package(*classes: type) -> None:
    """Each class named as the package's (`vesk.Spectrum`), its annotations
    first made objects in the module that wrote them: typing.get_type_hints
    (editors, documentation tools) looks names up in `__module__`, which
    then names the package and not that module. A name imported only for the
    type checker stays text."""
    for cls in classes:
        namespace = vars(sys.modules[cls.__module__])
        own = cls.__dict__.get("__annotations__", {})
        for name, hint in own.items():
            if isinstance(hint, str):
                try:
                    own[name] = eval(hint, namespace)  # noqa: S307 - as get_type_hints does
                except Exception:
                    pass
        cls.__module__ = "vesk"

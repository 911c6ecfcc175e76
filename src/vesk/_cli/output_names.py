"""The stem that names each input's outputs (STEM_AB_2D_NONE.csv, STEM_image00.png)."""
from __future__ import annotations

import os
from typing import Dict, List, Sequence, Set, Tuple


def output_stems(paths: Sequence[str]) -> Tuple[Dict[str, str], List[str]]:
    """Each input's stem, and an error for each input that cannot have one.

    The stem is the file's name without its extension, or with it where inputs
    differ only by extension (run.0, run.1: a numbered series). Inputs of one
    name in different folders would write the same outputs: each after the
    first is refused, never written over the first one's outputs.
    """
    names: Dict[str, Set[str]] = {}
    for path in paths:
        name = os.path.basename(path)
        names.setdefault(os.path.splitext(name)[0], set()).add(name)
    stems: Dict[str, str] = {}
    taken: Dict[str, str] = {}
    errors: List[str] = []
    for path in dict.fromkeys(paths):  # each file once, in order
        name = os.path.basename(path)
        stem = os.path.splitext(name)[0]
        if len(names[stem]) > 1:
            stem = name
        if stem in taken:
            errors.append("%s: its outputs would have the names of those of %s; write them "
                          "to different folders (-o)" % (path, taken[stem]))
            continue
        taken[stem] = path
        stems[path] = stem
    return stems, errors

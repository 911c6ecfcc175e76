"""The folder and the stem that name each input's outputs (STEM_AB_2D_NONE.csv,
STEM_image00.png)."""
from __future__ import annotations

import argparse
import os
from typing import Dict, List, Sequence, Tuple

from .inputs import Input


def output_folder(text: str) -> str:
    """An argparse type: "-" asks for standard output, which cannot hold a
    file per block; refused rather than made a folder of that name."""
    if text == "-":
        raise argparse.ArgumentTypeError(
            "'-': outputs are files, one per block, written into a folder; name one "
            "(./- for a folder named '-')")
    return text


def output_stems(inputs: Sequence[Input]) -> Tuple[Dict[Input, str], List[str]]:
    """Each input's stem, relative to the output folder, and an error for each
    input that cannot have one.

    The stem is the file's name without the extension ".vesk" (in any
    case), any other name whole (run.0, x.spa), so that a file's outputs
    are named alike whatever else is exported with it. A file found under
    a folder argument keeps its subfolder below it (sample1/map.0,
    sample2/map.0), as do files of one name named one by one
    (inputs.find_inputs). Inputs that would still write the same outputs
    (x.vesk and x): each after the first is refused, never written over the
    first one's outputs.
    """
    stems: Dict[Input, str] = {}
    taken: Dict[str, str] = {}
    errors: List[str] = []
    for item in inputs:
        name = os.path.basename(item.path)
        stem, extension = os.path.splitext(name)
        if extension.lower() != ".vesk":
            stem = name
        stem = os.path.join(item.subfolder, stem)
        if stem in taken:
            # the way on must work for a folder's two files as well (x and x.vesk)
            errors.append("%s: its outputs would have the names of those of %s; export it "
                          "on its own into another folder (-o)" % (item.path, taken[stem]))
            continue
        taken[stem] = item.path
        stems[item] = stem
    return stems, errors

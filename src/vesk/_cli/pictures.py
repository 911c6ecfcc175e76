"""`vesk images`: the visible images of files, each with a JSON side file."""
from __future__ import annotations

import argparse
import os
from typing import Any, Callable, Dict, Tuple

import vesk

from ..export import make_folder, refuse_existing, write_atomically
from .json_text import dumps
from .output_bound import OutputBudget
from .output_names import output_stems
from .report import describe, emit, error, note

SUFFIXES = {"jpeg": ".jpg", "tiff": ".tif"}


def add_images(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser("images", help="write the visible images of files",
                       description="Writes each visible image to DIR/STEM_imageNN.EXT, with "
                                   "the extension its bytes show (png, jpg, bmp, ...; bin "
                                   "when unknown), and its title and attributes to "
                                   "DIR/STEM_imageNN.json. The paths written go to standard "
                                   "output.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("-o", "--output", default=".", metavar="DIR",
                   help="folder for the images (default: the current folder)")
    p.add_argument("--force", action="store_true", help="overwrite existing files")
    p.set_defaults(run=run_images)
    return p


def side_record(path: str, image: vesk.Image) -> Dict[str, Any]:
    return {"file": path, "position": image.position, "name": image.name,
            "title": image.title, "format": image.format, "bytes": len(image.data),
            "attributes": dict(image.attributes)}


def write_bytes(data: bytes) -> Callable[[str], None]:
    def write(tmp: str) -> None:
        with open(tmp, "wb") as f:
            f.write(data)
    return write


def save_image(path: str, stem: str, image: vesk.Image, folder: str,
               force: bool) -> Tuple[str, str]:
    stem = os.path.join(folder, "%s_image%s" % (stem, image.name))
    kind = image.format or "bin"
    picture = stem + SUFFIXES.get(kind, "." + kind)
    side = stem + ".json"
    for out in (picture, side):
        refuse_existing(out, force)
    text = dumps(side_record(path, image))
    write_atomically(picture, write_bytes(image.data), force)
    write_atomically(side, write_bytes((text + "\n").encode("utf-8")), force)
    return picture, side


def run_images(args: argparse.Namespace) -> int:
    status = 0
    try:
        make_folder(args.output)
    except OSError as e:
        error(describe(args.output, e))
        return 1
    stems, errors = output_stems(args.files)
    for message in errors:
        error(message)
        status = 1
    for path, stem in stems.items():
        try:
            with vesk.open(path) as f:
                images = f.images()
                budget = OutputBudget(f)
            # Keys may share one picture's bytes; each is written on its own.
            total = sum(len(image.data) for image in images)
            if not budget.take(total):
                error("%s: its %d pictures take %d bytes, more than a file of %d bytes can "
                      "give; none written" % (path, len(images), total, budget.file_size))
                status = 1
                continue
            for image in images:
                for out in save_image(path, stem, image, args.output, args.force):
                    emit(out)
            note("%s: %d image%s written to %s" % (path, len(images),
                                                    "" if len(images) == 1 else "s",
                                                    args.output))
        except Exception as e:
            error(describe(path, e))
            status = 1
    return status

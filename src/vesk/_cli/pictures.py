"""`vesk images`: the visible images of files, each with a JSON side file."""
from __future__ import annotations

import argparse
import os
from typing import Any, Callable, Dict, List

import vesk

from ..export import is_output, make_folder, refuse_existing, write_atomically
from .inputs import Input, take_inputs
from .output_bound import OutputBudget
from .output_names import output_folder, output_stems
from .report import (OutputFailed, Terminated, counted, describe, emit_path, error, no_room,
                     note, stopped_for_room)

SUFFIXES = {"jpeg": ".jpg", "tiff": ".tif"}


def add_images(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> argparse.ArgumentParser:
    p = sub.add_parser("images", help="write the visible images of files",
                       description="Writes each visible image to DIR/STEM_imageNN.EXT, with "
                                   "the extension its bytes show (png, jpg, bmp, ...; bin "
                                   "when unknown), and its title and attributes to "
                                   "DIR/STEM_imageNN.json. A FOLDER stands for the VESK "
                                   "files beneath it, found by their content; their "
                                   "subfolders are made again under DIR (under each folder's "
                                   "path from their common folder where several are "
                                   "named). An existing file is an error, unless --force or "
                                   "--skip-existing. "
                                   "The paths written go to standard output.")
    p.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    p.add_argument("-o", "--output", default=".", metavar="DIR", type=output_folder,
                   help="folder for the images (default: the current folder)")
    existing = p.add_mutually_exclusive_group()
    existing.add_argument("--force", action="store_true", help="overwrite existing files")
    existing.add_argument("--skip-existing", action="store_true",
                          help="keep existing files and write the others (to go on after "
                               "an interrupted run)")
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


def side_bytes(path: str, image: vesk.Image) -> bytes:
    """The side file of a picture of the file `path`: its title and attributes."""
    from .json_text import dumps  # here: every command builds this module's options

    return (dumps(side_record(path, image)) + "\n").encode("utf-8")


def save_image(stem: str, image: vesk.Image, side_file: bytes, folder: str,
               force: bool, skip_existing: bool = False) -> List[str]:
    """Writes a picture and its side file (side_bytes, charged beforehand);
    returns those written (with `skip_existing`, a file already
    there is kept)."""
    stem = os.path.join(folder, "%s_image%s" % (stem, image.name))
    kind = image.format or "bin"
    picture = stem + SUFFIXES.get(kind, "." + kind)
    side = stem + ".json"
    outputs = [(picture, image.data), (side, side_file)]
    if skip_existing:
        outputs = [(out, data) for out, data in outputs if not is_output(out)]
    for out, _ in outputs:
        refuse_existing(out, force, skippable=True)
    if outputs:
        make_folder(os.path.dirname(picture))
    # Not written where another run wrote it meanwhile.
    return [out for out, data in outputs
            if write_atomically(out, write_bytes(data), force, keep_existing=skip_existing)]


def run_images(args: argparse.Namespace) -> int:
    inputs, status = take_inputs(args.files, args.output)
    if not inputs.files:
        return status
    stems, errors = output_stems(inputs.files)
    for message in errors:
        error(message)
        status = 1
    done = [0, 0]  # pictures written, files they were written from
    try:
        return write_images(args, stems, errors, done, status, inputs.folders)
    except (KeyboardInterrupt, Terminated, OutputFailed):
        # as export says it: what is there, and the way on
        note("wrote %s from %s to %s before it was stopped; run again with --skip-existing "
             "to go on" % (counted(done[0], "image{s}"), counted(done[1], "file{s}"),
                           args.output))
        raise


def write_images(args: argparse.Namespace, stems: Dict[Input, str], errors: List[str],
                 done: List[int], status: int, folders: bool) -> int:
    """The pictures of each input, counted in `done` as they are written."""
    pictures = kept_in_all = failed = 0
    for tried, (item, stem) in enumerate(stems.items(), 1):
        path = item.path
        try:
            with vesk.open(path) as f:
                images = f.images()
                budget = OutputBudget(f)
            # Keys may share one picture's bytes and its attributes; each is
            # written on its own, with its side file: 1,500 keys naming a
            # picture of 60 KB of attributes wrote 520 MB of side files.
            # Measured, then made again to be written: held, the side files
            # the bound allows took all of that bound's memory themselves.
            total = measured = 0
            for image in images:
                total += len(image.data) + len(side_bytes(path, image))
                measured += 1
                if total > budget.left:
                    break
            if not budget.take(total):
                error("%s: its %d pictures and their side files take %s%d bytes, more than a "
                      "file of %d bytes can give; none written" % (
                          path, len(images), "over " if measured < len(images) else "",
                          total, budget.file_size))
                status = 1
                failed += 1
                continue
            written = kept = 0
            for image in images:
                outs = save_image(stem, image, side_bytes(path, image), args.output, args.force,
                                  args.skip_existing)
                for out in outs:
                    emit_path(out)
                if any(not out.endswith(".json") for out in outs):  # the picture
                    written += 1
                    done[0] += 1
                    done[1] += written == 1
                kept += 2 - len(outs)
            pictures += written
            kept_in_all += kept
            if not (written or kept or item.named):
                continue  # a file found under a folder that holds no pictures
            below = os.path.dirname(stem)
            folder = os.path.join(args.output, below) if below else args.output
            note("%s: %d image%s written to %s%s" % (
                path, written, "" if written == 1 else "s", folder,
                " (%d file%s already there)" % (kept, "" if kept == 1 else "s") if kept else ""))
        except Exception as e:
            error(describe(path, e))
            status = 1
            failed += 1
            if isinstance(e, OSError) and no_room(e):  # as export stops
                stopped_for_room(str(e.strerror), "wrote %s" % counted(pictures, "image{s}"),
                                 len(stems) - tried)
                return 1
    if len(stems) > 1 or folders:  # a line for the run, as export ends with
        extras = [counted(n, what) for n, what in [
            (kept_in_all, "file{s} already there"), (failed + len(errors), "file{s} failed")] if n]
        note("wrote %s from %s to %s%s" % (
            counted(pictures, "image{s}"), counted(len(stems), "file{s}"), args.output,
            " (%s)" % ", ".join(extras) if extras else ""))
    return status

"""`vesk ls` lists the data blocks of files; `vesk params` shows a block's parameters."""
import json
import sys

import veskread
import vesk

from .report import describe, error


def add_ls(sub):
    p = sub.add_parser("ls", help="list the data blocks of files",
                       description="One line per data block: name, kind, shape, points per "
                                   "spectrum and x range with units. Several files are "
                                   "listed one after another under their names.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print JSON for machines")
    p.set_defaults(run=run_ls)
    return p


def add_params(sub):
    p = sub.add_parser("params", help="show the parameters of a block",
                       description="The merged parameters of one block: key, human name, "
                                   "value.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("key", metavar="KEY", help="block name (AB/2D/NONE) or short form (AB)")
    p.add_argument("--json", action="store_true", help="print JSON for machines")
    p.set_defaults(run=run_params)
    return p


def _number(v):
    return "%g" % v


def block_record(block):
    return {"name": block.name, "key": list(block.key), "kind": block.kind,
            "shape": list(block.shape), "points": block.points,
            "x_range": list(block.x_range), "x_label": block.x_label,
            "y_label": block.y_label, "problem": getattr(block, "problem", None)}


def block_row(b):
    problem = getattr(b, "problem", None)  # a block that reading refuses says why
    if problem is not None:
        return (b.name, b.kind, problem, "", "", "")
    return (b.name, b.kind, " x ".join(str(n) for n in b.shape), "%d points" % b.points,
            "%s .. %s" % (_number(b.x_range[0]), _number(b.x_range[1])), b.x_label)


def aligned(rows, indent=""):
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))] if rows else []
    return [indent + "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]


def run_ls(args):
    status, listed = 0, []
    for path in args.files:
        try:
            with vesk.open(path) as f:
                listed.append((path, list(f.blocks)))
        except Exception as e:
            error(describe(path, e))
            status = 1
    if args.json:
        json.dump([{"file": path, "blocks": [block_record(b) for b in blocks]}
                   for path, blocks in listed], sys.stdout, indent=2, ensure_ascii=False)
        print()
        return status
    many = len(args.files) > 1
    for n, (path, blocks) in enumerate(listed):
        if many:
            print(("\n" if n else "") + "%s:" % path)
        lines = aligned([block_row(b) for b in blocks], "  " if many else "")
        print("\n".join(lines) if lines else ("  " if many else "") + "(no data blocks)")
    return status


def parameter_name(key, names=veskread.VeskDict()):
    name = veskread.paramDict.get(key)
    if name is None:  # the long names are identifiers: data_point_format
        name = names.get(key, "").replace("_", " ")
        name = name[:1].upper() + name[1:]
    return name


def value_text(v):
    return str(v)  # str of a float is its shortest round-trip form; text stays as it is


def run_params(args):
    try:
        with vesk.open(args.file) as f:
            data = f[args.key]
    except Exception as e:
        error(describe(args.file, e))
        return 1
    params = dict(data.parameters)
    if args.json:
        json.dump({"file": args.file, "block": data.block.name,
                   "parameters": {k: {"name": parameter_name(k), "value": v}
                                  for k, v in params.items()}},
                  sys.stdout, indent=2, ensure_ascii=False)
        print()
        return 0
    rows = [(k, parameter_name(k), value_text(v)) for k, v in params.items()]
    print("\n".join(aligned(rows)))
    return 0

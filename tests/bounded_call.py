"""Runs one public call on a file in a child process, under an address-space
limit and a timer, and reports what it gave and the peak memory it added.

Used as `python bounded_call.py PATH CALL_JSON` by the tests of hostile files
and by bench/measure_hostile.py; prints one JSON line. CALL_JSON names a
veskread function, or "vesk.listing", "vesk.read", "vesk.to_pandas", "vesk.tile" (an
image map's columns, all rows), "vesk.tree" (xarray.open_datatree; of a stream, with true), "vesk.export",
"vesk.images", "vesk.plot" (the commands, to a temporary folder), "vesk.ls" (ls --json)
or "vesk.diff" (against a second file).
"""
import json
import resource
import signal
import sys
import time
import warnings


def vm_hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def io_counts():
    """Bytes the process has read so far, its read calls and the bytes it has
    written: counts of work that no load on the machine can blur."""
    counts = {}
    with open("/proc/self/io") as f:
        for line in f:
            name, _, value = line.partition(":")
            counts[name] = int(value)
    return counts.get("rchar", 0), counts.get("syscr", 0), counts.get("wchar", 0)


def vesk_call(name):
    """A call through `vesk` ("vesk.NAME"), giving what the tests compare;
    what it imports is imported here, before memory is measured."""
    import vesk

    def listing(path):
        with vesk.open(path) as f:
            return {"kinds": [b.kind for b in f.blocks]}

    def tile(path, key, columns):
        from vesk._file import read_map_rows
        with vesk.open(path) as f:
            block = f.block(key)
        return {"shape": list(read_map_rows(path, block, 0, block.shape[0], columns).shape)}

    if name in ("tree", "to_pandas"):
        try:  # imported once here, not within the call measured (with pyarrow, 40 MB)
            import pandas  # noqa: F401
        except ImportError:
            pass

    if name == "tree":
        import xarray
        from vesk.xarray_backend import VeskBackendEntrypoint
        warnings.simplefilter("ignore")  # the blocks left out say so

    def tree(path, stream=False):
        # The class, not its name: a build that is not installed registers no engine.
        tree = xarray.open_datatree(open(path, "rb") if stream else path,
                                    engine=VeskBackendEntrypoint)
        return {"blocks": sorted(n.path for n in tree.leaves)}

    def to_pandas(path, key):
        import pandas  # noqa: F401
        return {"shape": list(vesk.read(path, key).to_pandas().shape)}

    if name in ("export", "plot", "images", "ls", "diff"):
        import os
        import tempfile
        from vesk._cli import main
        from vesk.export import table  # noqa: F401
        for extra in ("netCDF4", "xarray", "matplotlib.figure", "matplotlib.backends.backend_agg",
                      "vesk.export.parquet", "pyarrow.parquet", "scipy.io", "vesk.export.zarr"):
            try:  # imported once here, not within the call measured
                __import__(extra)
            except ImportError:
                pass

    def export(path, fmt, layout):
        with tempfile.TemporaryDirectory() as out:
            layout_args = ["--layout", layout] if layout else []
            return {"code": main(["export", "-f", fmt, *layout_args, "-o", out, path])}

    def ls(path):
        import contextlib
        with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
            return {"code": main(["ls", "--json", path])}

    def diff(path, other):
        import contextlib
        with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
            return {"code": main(["diff", path, other])}

    def images(path):
        with tempfile.TemporaryDirectory() as out:
            return {"code": main(["images", "-o", out, path])}

    def plot(path):
        with tempfile.TemporaryDirectory() as out:
            return {"code": main(["plot", "-o", os.path.join(out, "p.png"), path])}

    return {"listing": listing, "to_pandas": to_pandas, "export": export, "tile": tile,
            "tree": tree, "plot": plot, "images": images, "ls": ls, "diff": diff,
            "read": lambda path, key: {"shape": list(vesk.read(path, key).values.shape)}}[name]


def describe(result):
    """What the tests compare: images and their shared bytes, or the arrays."""
    if isinstance(result, dict):
        return result
    if isinstance(result, list):
        blobs = [im.get("image") for im in result]
        return {"images": len(result), "distinct_bytes": len({id(b) for b in blobs}),
                "lengths": sorted({len(b) for b in blobs if b is not None})}
    out = {"type": type(result).__name__}
    spectra = getattr(result, "spectra", None)
    if spectra is not None:
        out["shape"] = list(spectra.shape)
        flat = spectra.reshape(-1, spectra.shape[-1])
        out["nonzero_points"] = sum(int(flat[i:i + 65536].any(1).sum())
                                    for i in range(0, len(flat), 65536))
    regions = getattr(result, "regions", None)
    if regions is not None:
        out["regions"] = [[r.title, list(r.spectra.shape), r.mapX.tolist()[:5],
                           float(r.spectra.sum())] for r in regions]
    return out


def main():
    # Ctrl-C raises KeyboardInterrupt even when whoever started us ignores
    # it (a job started in the background by a shell without job control).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    path, call = sys.argv[1], json.loads(sys.argv[2])
    limit = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    if call[0].startswith("vesk."):
        fn = vesk_call(call[0][5:])
    else:
        import veskread
        fn = getattr(veskread, call[0])
    args = [path] + [tuple(a) if isinstance(a, list) else a for a in call[1:]]
    before = vm_hwm()
    cpu0 = time.process_time()
    read0, calls0, written0 = io_counts()
    print("started", flush=True, file=sys.stderr)
    try:
        result = fn(*args)
        outcome = "ok"
    except Exception as e:  # the outcome is what is reported
        outcome, detail = type(e).__name__, str(e)[:300]
    cpu, added = time.process_time() - cpu0, vm_hwm() - before
    read, calls, written = (a - b for a, b in zip(io_counts(), (read0, calls0, written0)))
    if outcome == "ok":
        detail = describe(result)
    report = {"outcome": outcome, "detail": detail, "cpu": cpu, "added_peak": added,
              "read_bytes": read, "read_calls": calls, "write_bytes": written}
    print(json.dumps(report))


if __name__ == "__main__":
    main()

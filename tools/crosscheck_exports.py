"""Exports of damaged files read back as the blocks they came from.

For each block `vesk.read` gives, `vesk.export.write` writes it in every
format whose extra is installed (CSV and Parquet in both layouts), and the
format's usual reader reads it back: np.load, pandas.read_csv and
read_parquet, xarray.open_dataset and open_zarr, scipy.io.loadmat, the ENVI
header with np.fromfile, and the JCAMP-DX table by its lines. What is read
must be the block: values bit for bit (text formats: the float32 their
digits give, NaN where there is none; JCAMP-DX "?" for NaN and infinities),
coordinates, parameters, labels, warning and date. A refusal must be an
UnsupportedBlockError or ValueError naming the block, never another type or
a part-written output, and an export again without force an
OutputExistsError. Every few blocks, a write's peak of Python memory is held
to the bound every call keeps, and its CPU time too where `vesk export` would
write the block.

    PYTHONPATH=build/dev python3 tools/crosscheck_exports.py --cases 2000 --seed 1
or, with the other checks, `tools/crosscheck.py --exports EVERY`.
"""
import argparse
import collections
import contextlib
import csv
import importlib.util
import json
import math
import os
import random
import shutil
import sys
import tempfile
import time
import tracemalloc
import warnings
from urllib.parse import unquote

import numpy as np

LAYOUTS = {"csv": ("long", "wide"), "parquet": ("long", "wide")}
# the bound every call keeps: 64 MiB and 8 bytes per byte of the file; about 1 s a MB
MEMORY_BASE, MEMORY_PER_BYTE = 64 << 20, 8
CPU_BASE, CPU_PER_BYTE = 1.0, 1.0 / (1 << 20)
ENVI_LISTS = ("wavelength", "band names", "spectra names", "vesk map x", "vesk map y",
              "vesk parameters")


@contextlib.contextmanager
def _quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def _f32_bits(a):
    return np.ascontiguousarray(np.asarray(a, dtype=np.float32)).view(np.uint32)


def same_bits(want, got):
    """Same shape and the same float32 bits."""
    want, got = np.asarray(want), np.asarray(got)
    return want.shape == got.shape and got.dtype == np.float32 and \
        bool((_f32_bits(want) == got.view(np.uint32)).all())


def same_numbers(want, got):
    """Equal as numbers of their own type, NaN for NaN (any payload), the
    sign of zero kept."""
    want, got = np.asarray(want), np.asarray(got)
    if want.shape != got.shape:
        return False
    if want.dtype.kind not in "fiu" or got.dtype.kind not in "fiub":
        return want.tolist() == got.tolist()
    with np.errstate(invalid="ignore"):
        w, g = want.astype(np.float64), got.astype(np.float64)
    nan = np.isnan(w)
    return bool((nan == np.isnan(g)).all() and (w[~nan] == g[~nan]).all()
                and (np.signbit(w[~nan]) == np.signbit(g[~nan])).all())


def texts_of(values):
    return [str(v) for v in np.asarray(values).reshape(-1).tolist()]


def csv_number(cell, dtype):
    """A CSV cell's number as the reader takes it, in the column's type."""
    return np.array(float(cell)).astype(dtype)


def uninert(cell):
    """A CSV text cell as the file had it: the "'" a formula's start was given removed."""
    return cell[1:] if cell.startswith("'") and cell[1:2] in ("=", "+", "-", "@", "\t", "\r") \
        else cell


def strict(value):
    """A parameter as strict JSON holds it."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value



def expected_columns(data, layout):
    """The columns a CSV or Parquet table of `data` must hold, in order, from
    the block itself; and the wide layout's rows (None for the long one)."""
    from vesk.export.axes import long_columns, wide_rows

    values = np.asarray(data.values)
    if data.block.kind == "spectrum":
        x = np.asarray(data.coords[data.dims[0]][1]) if data.dims[0] in data.coords \
            else np.arange(len(values))
        return [x, values], None
    if layout == "long":
        dims, extra, _ = long_columns(data)
        index = np.unravel_index(np.arange(values.size), values.shape)
        axis = {d: k for k, d in enumerate(data.dims)}
        columns = [coord[index[axis[name]]] for name, coord in dims]
        columns += [np.asarray(coord)[tuple(index[axis[d]] for d in cdims)]
                    for _, cdims, coord in extra]
        return columns + [values.reshape(-1)], None
    rows = wide_rows(data)
    rindex = np.unravel_index(np.arange(len(rows.table)), rows.row_shape)
    columns = [np.asarray(array)[tuple(rindex[rows.rows.index(d)] for d in cdims)]
               for cdims, array in rows.columns]
    return columns + list(rows.table.T), rows


def command_writes(f, block, data, fmt, layout):
    """Whether `vesk export` writes `block` of `f` (alone) in `fmt`: the
    file's bound holds for what the command writes, and it refuses the rest."""
    from vesk._cli.output_bound import OutputBudget
    from vesk.export import FORMATS

    format_ = FORMATS[fmt]
    budget = OutputBudget(f)
    if budget.take_export(block, format_, layout) is not None:
        return False
    return block.kind == "spectrum" or budget.take(format_.repeated(data, layout))


class Judge:
    """Judges the exports of the blocks of one file at a time, collecting each
    fault as (kind, text) and counting what was written per format."""

    def __init__(self, rng, formats=None, measure_every=8):
        import vesk.export

        self.rng = rng
        self.counts = collections.Counter()
        # CSV is read back by pandas, which the base install lacks
        self.formats = [f for f in (formats or vesk.export.FORMATS)
                        if vesk.export.FORMATS[f].missing() is None and (
                            f != "csv" or importlib.util.find_spec("pandas") is not None)]
        self.measure_every = measure_every
        self.tmp = tempfile.mkdtemp(prefix="crosscheck-exports-")
        self.wrong = []
        self.warm = set()

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def _fault(self, kind, text):
        self.wrong.append((("export",) + kind, text))

    def judge(self, path):
        import vesk

        self.wrong = []
        try:
            with _quiet():
                f = vesk.open(path)
        except (vesk.VeskError, OSError):
            return self.wrong
        size = os.path.getsize(path)
        with f:
            for b in f.blocks:
                try:
                    with _quiet():
                        data = f[b.key]
                except (vesk.VeskError, OSError):
                    continue
                except Exception:  # noqa: BLE001 -- judged by crosscheck_vesk
                    continue
                self.counts["blocks"] += 1
                for fmt in self.formats:
                    for layout in LAYOUTS.get(fmt, ("long",)):
                        self._judge_write(data, fmt, layout, size, f)
        return self.wrong

    def _judge_write(self, data, fmt, layout, size, f):
        import vesk.export

        what = "%s %s" % (fmt, layout) if fmt in LAYOUTS else fmt
        name = data.block.name
        folder = os.path.join(self.tmp, "out")
        shutil.rmtree(folder, ignore_errors=True)
        os.mkdir(folder)
        out = os.path.join(folder, "b" + vesk.export.FORMATS[fmt].suffix(data))
        self.counts["writes"] += 1
        # (not a format's first write, which imports its writer and reader)
        measure = self.counts["writes"] % self.measure_every == 0 and what in self.warm
        self.warm.add(what)
        if measure:
            tracemalloc.start()
        cpu = time.process_time()
        try:
            with _quiet():
                vesk.export.write(data, out, fmt, layout=layout)
        except ValueError as e:  # UnsupportedBlockError among them
            self.counts["%s refused" % what] += 1
            self._judge_refusal(e, name, what, folder)
            return
        except Exception as e:  # noqa: BLE001 -- any other failure is the fault
            self._fault((what, "raised", type(e).__name__, str(e)[:30]),
                        "%s of %s %s %r raised %s: %s" % (what, data.block.kind, name,
                                                         data.values.shape, type(e).__name__, e))
            return
        finally:
            cpu = time.process_time() - cpu
            if measure:
                peak = tracemalloc.get_traced_memory()[1]
                tracemalloc.stop()
        if measure:
            self.counts["measured writes"] += 1
            if peak > MEMORY_BASE + MEMORY_PER_BYTE * size:
                self._fault((what, "memory"), "%s of %s %r took %.1f MB for a file of %d bytes"
                            % (what, name, data.values.shape, peak / 1e6, size))
            # Written a chunk at a time, any block keeps to the memory; but one
            # that `vesk export` refuses (a map declaring millions of points
            # its file cannot fill) takes the time its values take.
            if cpu > CPU_BASE + CPU_PER_BYTE * size and command_writes(f, data.block, data, fmt,
                                                                       layout):
                self._fault((what, "cpu"), "%s of %s %r took %.2f s for a file of %d bytes"
                            % (what, name, data.values.shape, cpu, size))
        self.counts["%s written" % what] += 1
        left = [n for n in os.listdir(folder) if n.startswith(".")]
        if left:
            self._fault((what, "left"), "%s of %s left %s" % (what, name, left))
        try:
            said = getattr(self, "_read_" + fmt)(data, out, layout)
        except Exception as e:  # noqa: BLE001 -- what its reader cannot read is the fault
            said = ["%s's reader failed: %s: %s" % (what, type(e).__name__, str(e)[:300])]
        for s in said:
            self._fault((what, s.split(":")[0][:40]), "%s of %s %s %r: %s" % (
                what, data.block.kind, name, data.values.shape, s))
        try:
            vesk.export.write(data, out, fmt, layout=layout)
            self._fault((what, "overwrote"), "%s of %s written over without force" % (what, name))
        except vesk.export.OutputExistsError:
            pass
        except Exception as e:  # noqa: BLE001
            self._fault((what, "again", type(e).__name__),
                        "%s of %s again: %s: %s" % (what, name, type(e).__name__, e))

    def _judge_refusal(self, e, name, what, folder):
        import vesk.export

        # (a writer's own refusal, an axis it cannot hold, the command names with the block)
        if isinstance(e, vesk.export.UnsupportedBlockError) and not str(e).startswith(name + ": "):
            self._fault((what, "refusal", str(e)[:30]),
                        "%s of %s refused without naming it: %s" % (what, name, e))
        if os.listdir(folder):
            self._fault((what, "refused, left"), "%s of %s refused (%s) and left %s"
                        % (what, name, e, os.listdir(folder)))

    # -- the readers ----------------------------------------------------------

    @staticmethod
    def _texts(data):
        """What each format writes beside the values: what the block is and where it came from."""
        from vesk._text import path_text
        from vesk._vocabulary import measured_text
        from vesk.export.source import source_sha256

        b = data.block
        texts = {"x_label": b.x_label, "y_label": b.y_label, "block": b.name, "kind": b.kind,
                 "source": path_text(b.path) if b.path else None, "source_sha256":
                 source_sha256(b), "measured": measured_text(data.parameters),
                 "warning": b.warning}
        return {k: v for k, v in texts.items() if v is not None}

    @staticmethod
    def _params_json(data):
        return {k: strict(v) for k, v in data.parameters.items()}

    def _read_npy(self, data, out, layout):
        said = []
        with np.load(out) as z:
            if not same_bits(data.values, z["values"]):
                said.append("values differ")
            if list(z["dims"]) != list(data.dims):
                said.append("dims %r, read %r" % (list(z["dims"]), list(data.dims)))
            where = json.loads(str(z["coordinate_dims"]))
            for name, (dims, coord) in data.coords.items():
                key = name if name in where else "coord_" + name
                if where.get(key) != list(dims) or not same_numbers(coord, z[key]):
                    said.append("coordinate %s differs" % name)
            if json.loads(str(z["parameters"])) != self._params_json(data):
                said.append("parameters differ")
            for key, text in self._texts(data).items():
                if key != "parameters" and (key not in z.files or str(z[key]) != text):
                    said.append("%s differs" % key)
            if data.block.kind == "spectrum" and not same_bits(data.y, z["y"]):
                said.append("y differs")
        return said

    def _read_csv(self, data, out, layout):
        import pandas as pd

        table = pd.read_csv(out, dtype=str, keep_default_na=False)
        said = []
        columns, rows = expected_columns(data, layout)
        if rows is not None:
            # the header as written: pandas renames repeated names (nan, nan.1)
            with open(out, newline="", encoding="utf-8") as f:
                heads = next(csv.reader(f))[len(rows.columns):]
            across = np.asarray(data.coords[rows.across][1]) if rows.across in data.coords \
                else np.arange(rows.table.shape[1])
            if len(heads) != len(across):
                said.append("%d value columns, %d points" % (len(heads), len(across)))
            elif across.dtype.kind == "f" and not same_numbers(
                    across, np.array([_head(h) for h in heads])):
                said.append("column headings differ from the axis")
        if table.shape != (len(columns[0]) if columns else 0, len(columns)):
            return said + ["shape %r, expected %d x %d" % (table.shape, len(columns[0]),
                                                            len(columns))]
        for k, want in enumerate(columns):
            want = np.asarray(want)
            cells = table.iloc[:, k].tolist()
            if want.dtype.kind in "fiub":
                dtype = want.dtype if want.dtype.kind == "f" else np.float64
                got = np.array([csv_number(c, dtype) for c in cells], dtype=dtype).reshape(-1)
                if not same_numbers(want.astype(dtype), got):
                    said.append("column %d (%s) differs" % (k, table.columns[k]))
            elif [uninert(c) for c in cells] != texts_of(want):
                said.append("text column %d (%s) differs" % (k, table.columns[k]))
        return said

    def _read_parquet(self, data, out, layout):
        import pyarrow.parquet as pq

        t = pq.read_table(out)
        frame = t.to_pandas()
        said = []
        meta = {k.decode(): v.decode() for k, v in (t.schema.metadata or {}).items()}
        if json.loads(meta.get("parameters", "null")) != self._params_json(data):
            said.append("parameters differ")
        for key, text in self._texts(data).items():
            if key != "parameters" and meta.get(key) != text:
                said.append("%s differs: %r, wrote %r" % (key, text, meta.get(key)))
        columns, _ = expected_columns(data, layout)
        if frame.shape != (len(columns[0]), len(columns)):
            return said + ["shape %r, expected %d x %d" % (frame.shape, len(columns[0]),
                                                            len(columns))]
        for k, want in enumerate(columns):
            want = np.asarray(want)
            got = frame.iloc[:, k].to_numpy()
            if want.dtype == np.float32:
                ok = same_bits(want, got)
            elif want.dtype.kind in "fiu":
                ok = same_numbers(want, got)
            else:
                ok = texts_of(got) == texts_of(want)
            if not ok:
                said.append("column %d (%s) differs" % (k, frame.columns[k]))
        return said

    def _read_xarray_dataset(self, data, ds, said, json_numbers=False):
        expected = data.to_xarray()
        from vesk.export.netcdf import global_attrs

        back = ds[expected.name]
        if back.dims != expected.dims or not same_bits(expected.values, back.values):
            said.append("values differ")
        for c in expected.coords:
            if c not in ds.coords or not same_numbers(
                    np.array(expected[c].values.tolist()), np.array(ds[c].values.tolist())):
                said.append("coordinate %s differs" % c)
            elif dict(ds[c].attrs) != dict(expected[c].attrs):
                said.append("coordinate %s attributes differ" % c)
        attrs = dict(back.attrs)
        keys = json.loads(attrs.pop("parameter_keys", "{}"))
        name_of = {key: name for name, key in keys.items()}
        want = dict(expected.attrs)
        from vesk._objects import parameter_attr
        for key, value in data.parameters.items():
            got = attrs.get(name_of.get(key, parameter_attr(key)), KeyError)
            if got is KeyError:
                said.append("parameter %r missing" % key)
            elif not _same_parameter(_json_number(value) if json_numbers else value, got):
                said.append("parameter %r: %r, read %r" % (key, value, got))
        for key in ("x_label", "y_label", "block", "kind"):
            if key in want and attrs.get(key) != want[key]:
                said.append("%s differs" % key)
        g = dict(ds.attrs)
        texts = self._texts(data)
        expected_g = {"source": texts.get("source"), "source_sha256": texts.get("source_sha256"),
                      "comment": texts.get("warning"),
                      "time_coverage_start": texts.get("measured"),
                      "title": global_attrs(data)["title"]}
        for key in expected_g:
            if g.get(key) != expected_g.get(key):
                said.append("global %s: %r, read %r" % (key, expected_g.get(key), g.get(key)))
        return said

    def _read_netcdf(self, data, out, layout):
        import xarray as xr

        with xr.open_dataset(out) as ds:
            ds.load()
            return self._read_xarray_dataset(data, ds, [])

    def _read_zarr(self, data, out, layout):
        import xarray as xr

        with _quiet(), xr.open_zarr(out) as ds:
            ds.load()
            # JSON has no number for NaN or infinities: they are texts
            return self._read_xarray_dataset(data, ds, [], json_numbers=True)

    def _read_mat(self, data, out, layout):
        import scipy.io as sio

        back = sio.loadmat(out)
        said = []
        got = back["values"]
        if got.size != np.asarray(data.values).size or not same_bits(
                data.values, got.reshape(np.asarray(data.values).shape)):
            said.append("values differ")
        if [_mat_text(c) for c in back["dims"].ravel()] != list(data.dims):
            said.append("dims differ")
        for name, (dims, coord) in data.coords.items():
            if name not in back:
                said.append("coordinate %s missing" % name)
                continue
            coord = np.asarray(coord)
            vals = back[name].ravel()
            if coord.dtype.kind in "fiu":
                ok = same_numbers(coord.reshape(-1), vals)
            else:
                ok = [_mat_text(c) for c in vals] == [mat_char(str(v)) for v in coord.ravel()]
            if not ok:
                said.append("coordinate %s differs" % name)
        pairs = back["parameters"]
        keys = [_mat_text(k) for k in pairs[:, 0]] if pairs.size else []
        if keys != [mat_char(k) for k in data.parameters]:
            said.append("parameter keys differ")
        else:
            for (key, value), got in zip(data.parameters.items(), pairs[:, 1] if pairs.size
                                         else []):
                got = _mat_text(got) if got.dtype.kind == "U" else got.item()
                if not _same_parameter(mat_char(value) if isinstance(value, str) else value,
                                       got):
                    said.append("parameter %r: %r, read %r" % (key, value, got))
        for key, text in self._texts(data).items():
            if key != "parameters" and (key not in back or _mat_text(back[key]) != mat_char(text)):
                said.append("%s differs" % key)
        return said

    def _read_envi(self, data, out, layout):
        fields, values = read_envi(out)
        said = []
        kind = data.block.kind
        if kind in ("image map", "image traces"):
            want = np.asarray(data.values)[::-1]
        else:
            table = data.table_view()[0] if kind != "spectrum" else np.asarray(data.values)[None]
            want = _rows(table)[:, :, None]
        if not same_bits(want, values):
            said.append("values differ")
        texts = self._texts(data)
        joined = "".join(fields.get("vesk parameters", []))
        if json.loads(joined) != self._params_json(data):
            said.append("parameters differ")
        for key, text in texts.items():
            field = "vesk " + key.replace("_", " ")
            if key != "parameters" and fields.get(field) != _envi_text(text):
                said.append("%s: %r, read %r" % (field, text, fields.get(field)))
        return said

    def _read_jcamp(self, data, out, layout):
        tables = read_jcamp_tables(out)
        if data.block.kind == "spectrum":
            want = np.asarray(data.values)[None]
        else:
            want = _rows(data.table_view()[0])
        said = []
        if len(tables) != len(want):
            return ["%d tables, %d spectra" % (len(tables), len(want))]
        for k, (row, got) in enumerate(zip(want, tables)):
            row = row.astype(np.float32)
            expect = np.where(np.isfinite(row), row, np.nan).astype(np.float32)
            if len(got) != len(row) or not same_numbers(expect, np.asarray(got, np.float32)):
                said.append("spectrum values differ")
                break
        return said


def _rows(table):
    """A table of values as a row per spectrum (none of no points too)."""
    table = np.asarray(table)
    return table.reshape(math.prod(table.shape[:-1]), table.shape[-1])


def _head(text):
    return float(uninert(text))


def mat_char(text):
    """A text as a MAT-file's 16-bit char holds it: past U+FFFF and NUL as U+FFFD."""
    if not isinstance(text, str):
        return text
    return "".join("\ufffd" if ord(c) > 0xFFFF or c == "\0" else c for c in text)


def _mat_text(cell):
    cell = np.asarray(cell)
    if cell.dtype == object:
        cell = cell.ravel()[0] if cell.size else np.array("")
    return str(np.asarray(cell).ravel()[0]) if np.asarray(cell).size else ""


def _json_number(value):
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def _same_parameter(want, got):
    if isinstance(want, str):
        return got == want
    got = np.asarray(got).reshape(-1)
    if got.size != 1 or got.dtype.kind not in "fiu":
        return False
    return same_numbers(np.float64(want), np.float64(got[0]))


def _envi_text(text):
    # a lone surrogate (bytes that were no UTF-8) is written as its escape
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def read_envi(img):
    """The header's fields (lists split, texts decoded) and the values as its
    fields lay them, lines joined as they are."""
    with open(os.path.splitext(img)[0] + ".hdr", encoding="ascii") as f:
        lines = f.read().split("\n")
    if lines[0] != "ENVI" or lines[-1] != "":
        raise ValueError("not a header")
    fields, k = {}, 1
    while k < len(lines) - 1:
        key, value = lines[k].split(" = ", 1)
        while value.startswith("{") and not value.endswith("}"):
            k += 1
            value += lines[k]
        if key in fields:
            raise ValueError("field %s twice" % key)
        fields[key] = [unquote(v.strip()) for v in value[1:-1].split(",")] \
            if key in ENVI_LISTS else unquote(value[1:-1] if value.startswith("{") else value)
        k += 1
    shape = [int(fields[n]) for n in ("lines", "samples", "bands")]
    return fields, np.fromfile(img, dtype="<f4").reshape(shape)


def read_jcamp_tables(path):
    """The y values of each (X++(Y..Y)) table, "?" as NaN."""
    tables, current = [], None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("##XYDATA="):
                current = []
                tables.append(current)
            elif line.startswith("##"):
                current = None
            elif current is not None and line and not line.startswith("$$"):
                current.extend(math.nan if t == "?" else float(t) for t in line.split()[1:])
    return tables


def run(cases, seed, out_dir, formats=None):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import crosscheck
    import vesk_writer as vw
    import writer_3d as w3
    import writer_images as wi

    rng = random.Random(seed)
    seeds = list(crosscheck.seed_files(vw, w3, wi))
    judge = Judge(random.Random("exports %d" % seed), formats)
    kinds = {}
    path = os.path.join(out_dir, "case.vesk")
    n = 0
    try:
        for n in range(cases):
            data = seeds[n] if n < len(seeds) else crosscheck.mutate(rng, seeds[n % len(seeds)],
                                                                      vw)
            with open(path, "wb") as f:
                f.write(data)
            for kind, said in judge.judge(path):
                judge.counts["faults"] += 1
                keep = crosscheck.kept_case(kinds, kind, out_dir, data)
                if keep:
                    print("FAULT case %d file %s: %s" % (n, keep, said), flush=True)
    except KeyboardInterrupt:  # the counts so far are still told
        print("stopped at case %d" % n)
    finally:
        judge.close()
    print("compared:", dict(sorted(judge.counts.items())))
    print("kinds of fault:", len(kinds))
    return len(kinds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--formats", help="comma-separated (default: every one installed)")
    parser.add_argument("--keep", help="directory for reproducer files (default: a new temp dir)")
    args = parser.parse_args()
    out_dir = args.keep or tempfile.mkdtemp(prefix="crosscheck-exports-")
    os.makedirs(out_dir, exist_ok=True)
    formats = args.formats.split(",") if args.formats else None
    sys.exit(1 if run(args.cases, args.seed, out_dir, formats) else 0)


if __name__ == "__main__":
    main()

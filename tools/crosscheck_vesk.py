"""The `vesk` package judged against the plain-Python reading in crosscheck.py.

For one file: `vesk.open` lists each block as reading takes it (kind, shape, x
range, parameters), or as unreadable where reading refuses it; `vesk.read`
gives reading's values bit for bit (NaN where vesk documents points no stored
spectrum fills); and the native helpers vesk reads through agree with the
reading where it can say what they must give. Every failure of vesk is a
VeskError or an OSError.

What is not judged: values vesk reads past reading's refusal (a block cut by
the end of the file, or whose parameters it cuts or damages), for which the
reference has no answer; and blocks whose reading the reference leaves open.
"""
import contextlib
import io
import math
import os
import struct
import warnings

import numpy as np

# The reference's class of data object, and the kind vesk lists it as.
KIND_OF = {"SingleDataReturn": "spectrum", "ImageDataReturn": "image map",
           "ImageTRCDataReturn": "image traces", "TimeResolvedDataReturn": "time-resolved series",
           "TimeResolvedTRCDataReturn": "time-resolved traces",
           "MultiRegionDataReturn": "multiregion map",
           "MultiRegionTRCDataReturn": "multiregion traces"}
# vesk lists these as unreadable by its own bound, where reading would build them
OWN_BOUND = "whose coordinates need"


# Keys whose type and value decide a block's kind, shape and axes.
DECIDING_KEYS = [k.encode() + b"\0" for k in ("NPT", "FXV", "LXV", "NPX", "NPY", "AOX", "AOY",
                                              "DDX", "DDY", "MXY", "MNY")]
TEXTS = [b"", b"0", b"3", b"-1", b"two", b"nan", b"inf", b"0.0", b"1e3", b" 2", b"\xb5"]
DOUBLES = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 2.5, 3.0, -1.0]


def retype(rng, data):
    """`data` with a record of a deciding key changed in place, its length
    kept: an int or a double as text, another int or double, or its key
    taken away or made another's. Damage of this kind reads cleanly, so it
    reaches the rules that take a parameter as a count or an axis end."""
    data = bytearray(data)
    places = [i for key in DECIDING_KEYS for i in _find_all(data, key)]
    for _ in range(rng.randint(1, 2)):
        if not places:
            break
        i = rng.choice(places)
        kind, words = struct.unpack_from("<hh", data, i + 4)
        width = 2 * words
        what = rng.randrange(4)
        if what == 0 and kind in (0, 1) and width in (4, 8):  # text where a number was
            text = rng.choice(TEXTS)[:width]
            struct.pack_into("<hh", data, i + 4, 2, words)
            data[i + 8:i + 8 + width] = text + b"\0" * (width - len(text))
        elif what == 1 and kind == 0 and width == 4:
            struct.pack_into("<i", data, i + 8, rng.choice([0, 1, -1, 2, 3, 2 ** 31 - 1]))
        elif what == 1 and kind == 1 and width == 8:
            struct.pack_into("<d", data, i + 8, rng.choice(DOUBLES))
        elif what == 2:
            data[i:i + 4] = rng.choice(DECIDING_KEYS + [b"ZZZ\0"])
    return bytes(data)


# What a map's keys may hold: counts, zeros of each type, text, nothing.
MAP_VALUES = {"NPT": [4, 4, 4, 2, 0, 1, 4.0, "4", -1],
              "NPX": [3, 3, 0, 0.0, 3.0, 2.5, "3", "two", 1, -1],
              "NPY": [2, 2, 0, 0.0, 2.0, "2", "", 1, -2],
              "AOX": [1.0, 0, "a", math.nan], "AOY": [0.0, 2, math.inf],
              "DDX": [1.0, 0.0, -1.0, "1"], "DDY": [2.0, 0, -0.0],
              "FXV": [100.0, 100, "x", math.nan], "LXV": [400.0, 400, -0.0]}


def typed_map(rng, w3):
    """A writer-made map (or map of traces), derived or not, whose map and
    axis keys hold values of other types, or are missing, and whose stored
    blocks are spectra, planes or neither."""
    def params():
        p = {"MXY": 2.0, "MNY": -1.0}
        for key, values in MAP_VALUES.items():
            if rng.randrange(12):
                p[key] = values[0] if rng.randrange(3) == 0 else rng.choice(values)
        return p
    p = params()
    original = params() if rng.randrange(2) else None
    npt = rng.choice([4, 4, 6, 2])
    count = rng.choice([6, 4, 5, 0, 1])
    blocks = [w3.stored_block([float(k + 1)] * npt, name="t%d" % k) for k in range(count)]
    data = w3.store_block(blocks, block_size=4 * npt)
    vf = w3.file_3d(data, p, data_type=rng.choice([4, 4, 7]), deriv_type=rng.choice([0, 1, 1]),
                    original_params=original)
    return vf.build()


def _find_all(data, needle):
    i = data.find(needle)
    while i != -1:
        yield i
        i = data.find(needle, i + 1)


_RAISED = object()  # a read that failed with an error vesk never gives


class Judge:
    """Judges vesk on files, collecting each disagreement as (kind, text)."""

    def __init__(self, ref, rng):
        self.ref = ref  # the crosscheck module: the reference and its comparisons
        self.rng = rng
        self.counts = {}
        self.wrong = []

    def _count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1

    def _fault(self, kind, text):
        self.wrong.append((("vesk",) + kind, text))

    def judge(self, path):
        """Disagreements of vesk with the reference on the file at `path`."""
        import vesk
        import veskread

        self.wrong = []
        self._count("vesk files")
        ref = self.ref
        listing = ref.outcome(ref.listContents, path)
        try:
            with _quiet():
                f = vesk.open(path)
        except (vesk.VeskError, OSError) as e:
            if listing[0] == "ok":
                self._fault(("open refused", type(e).__name__),
                            "vesk.open refused a file veskread lists: %s" % e)
            return self.wrong
        except Exception as e:  # noqa: BLE001 -- any other type is the fault
            self._fault(("open raised", type(e).__name__), "vesk.open raised %r" % e)
            return self.wrong
        with f:
            if listing[0] != "ok":
                self._fault(("open took", "unlisted"),
                            "vesk.open took a file veskread refuses: %s" % ref.short(listing))
                return self.wrong
            try:
                blocks = f.blocks
                for b in blocks:  # what `vesk ls` shows of each
                    str(b), repr(b), b.warning, b.to_dict()
            except Exception as e:  # noqa: BLE001
                self._fault(("listing raised", type(e).__name__), "blocks raised %r" % e)
                return self.wrong
            listed = {tuple(k.upper() for k in key) for key in listing[1]}
            got = {b.key for b in blocks}
            if not got <= listed:
                self._fault(("listed", "more"), "vesk lists %s, which veskread does not"
                            % sorted(got - listed))
            for b in blocks:
                self._judge_block(path, b, veskread)
        self._judge_pictures(path)
        return self.wrong

    def _truth(self, path, key, veskread):
        """What reading must give for `key`: the reference's outcome, or
        veskread's where it differs from it by a known bound; None where the
        reference leaves it open or veskread disagrees (said once)."""
        ref = self.ref
        ref.REGIONS_DECLARED.clear()
        ref.REGION_FILLS.clear()
        want = ref.outcome(ref.getVeskData, path, key)
        fills = list(ref.REGION_FILLS)
        got = ref.outcome(veskread.getVeskData, path, key)
        if ref.agree(want, got):
            return (want if want[0] != "skip" else None), fills
        if ref.known(want, got, [path, key], path):
            return got, None
        self._fault(("getVeskData", ref.kind_of("getVeskData", want, got)),
                    "getVeskData(%r) of a listed key\n  reference: %s\n  veskread:  %s"
                    % (key, ref.short(want), ref.short(got)))
        return None, None

    def _judge_block(self, path, b, veskread):
        import vesk

        truth, fills = self._truth(path, b.key, veskread)
        if truth is None:
            self._count("vesk blocks left open")
            return
        self._count("vesk blocks")
        name = b.name
        if truth[0] == "err":
            if b.kind != vesk.UNREADABLE and not _read_natively(b):
                self._fault(("listed readable", b.kind),
                            "%s listed as %s %r where reading refuses it: %s"
                            % (name, b.kind, b.shape, self.ref.short(truth)))
            obj = self._read(path, b)
            if obj is _RAISED:
                return
            if obj is not None and b.kind == vesk.UNREADABLE:
                self._fault(("read unreadable",), "%s listed unreadable (%s) read" % (name,
                                                                                    b.problem))
            elif obj is not None:
                self._count("vesk reads past reading")
                if obj.values.shape != b.shape:
                    self._fault(("shape past reading", b.kind), "%s listed %r, read %r"
                                % (name, b.shape, obj.values.shape))
            return
        raw = _as_attrs(truth[1])
        kind = KIND_OF[raw["__class__"]]
        if b.kind == vesk.UNREADABLE:
            if OWN_BOUND not in (b.problem or ""):
                self._fault(("listed unreadable", kind), "%s listed unreadable (%s) where "
                            "reading gives a %s" % (name, b.problem, kind))
            return
        values = _values(raw)
        said = []
        if b.kind != kind:
            said.append("kind %s, reading %s" % (b.kind, kind))
        if b.shape != values.shape:
            said.append("shape %r, reading %r" % (b.shape, values.shape))
        params = raw["parameters"]
        x_range = tuple(_number(params.get(k)) for k in ("FXV", "LXV"))
        if not _same_numbers(b.x_range, x_range):
            said.append("x range %r, reading %r" % (b.x_range, x_range))
        if not b.parameters_damage and not self.ref.same(dict(b.parameters), params):
            said.append("parameters %r, reading %r" % (dict(b.parameters), params))
        if said:
            self._fault(("listing", b.kind, said[0].split()[0]), "%s: %s" % (name, "; ".join(said)))
            return
        obj = self._read(path, b)
        if obj is _RAISED:
            return
        if obj is None:
            self._fault(("read refused", kind), "%s: vesk.read refused a %s reading gives"
                        % (name, kind))
            return
        self._count("vesk reads")
        for field, why in _object_differs(obj, raw, b, fills, self.ref.same):
            self._fault(("read", kind, field), "%s: %s" % (name, why))
        self._judge_native(path, b, raw, fills)

    def _read(self, path, b):
        """vesk.read of `b`; None where it refuses it as it may, _RAISED
        where it fails otherwise (said)."""
        import vesk

        try:
            with _quiet():
                return vesk.read(path, b.key)
        except (vesk.VeskError, OSError):
            return None
        except Exception as e:  # noqa: BLE001
            self._fault(("read raised", type(e).__name__), "vesk.read(%r) raised %r"
                        % (b.name, e))
            return _RAISED

    # -- the native helpers -----------------------------------------------------

    def _judge_native(self, path, b, raw, fills):
        """The helpers vesk reads cut and partly filled blocks with, on a block
        reading takes whole: they must give what reading gives."""
        from vesk import _native

        fd = os.open(path, os.O_RDONLY)
        try:
            if b.kind in ("multiregion map", "multiregion traces"):
                self._judge_regions(fd, b, raw, fills, _native)
            else:
                self._judge_cut_block(fd, b, raw, _native)
        except Exception as e:  # noqa: BLE001 -- a block reading takes whole reads
            self._fault(("native raised", b.kind, type(e).__name__),
                        "%s: a native read of a whole block raised %r" % (b.name, e))
        finally:
            os.close(fd)

    def _judge_cut_block(self, fd, b, raw, native):
        import veskread

        self._count("read_cut_block")
        unmeasured = b.kind == "image map" and b.unfilled > 0
        values = np.full(b.shape, b.fill if unmeasured else np.nan, dtype=np.float32)
        times = np.empty(b.shape[0]) if b.kind == "time-resolved series" else None
        names = native.read_cut_block(fd, *b.key, values, times)
        wrong = []
        if not _same_or_unmeasured(_values(raw), values, unmeasured):
            wrong.append("values")
        if times is not None and not self.ref.same(raw["z"], times):
            wrong.append("times")
        if "labels" in raw and [veskread.decode_string(n) for n in names or ()] != raw["labels"]:
            wrong.append("names")
        for field in wrong:
            self._fault(("read_cut_block", b.kind, field), "%s: read_cut_block's %s differ "
                        "from reading's" % (b.name, field))

    def _judge_regions(self, fd, b, raw, fills, native):
        import veskread

        regions = [_as_attrs(r) for r in raw["regions"]]
        traces = b.kind == "multiregion traces"
        if not traces:
            self._count("region_fills")
            got = {g: (filled, at) for g, filled, at in native.region_fills(fd, *b.key)}
            for group, filled, places in fills:
                have, at = got.get(group, (None, None))
                if have != filled:
                    self._fault(("region_fills", "filled"), "%s region %d: filled %r, "
                                "reading %r" % (b.name, group, have, filled))
                elif at is not None and len(at) == places.nbytes and \
                        at != places.tobytes():  # (none given past a bound)
                    self._fault(("region_fills", "places"), "%s region %d: places %r, the "
                                "table's %r" % (b.name, group, at, places.tobytes()))
        self._count("read_cut_regions")
        placed = math.isnan(b.fill)  # as vesk's own read of a cut map asks for
        values = np.full(b.shape, b.fill, dtype=np.float32)
        points = b.shape[0]
        map_x, map_y = np.zeros(points), np.zeros(points)
        start = None if traces else np.full(points, np.nan if placed else 0.0)
        titles, names = native.read_cut_regions(fd, *b.key, placed, values, map_x, map_y, start)
        wrong = []
        if [t for t, _n in titles] != [r["title"] for r in regions] or \
                [n for _t, n in titles] != [len(r["spectra"]) for r in regions]:
            wrong.append("titles")
        want = _expected_regions(regions, fills, b)
        if want:
            for field, mine in (("spectra", values), ("mapX", map_x), ("mapY", map_y),
                                ("start_time", start)):
                theirs = [r[field] for r in want]
                if (mine is None) != (theirs[0] is None) or mine is not None and \
                        not self.ref.same(np.concatenate(theirs), mine):
                    wrong.append(field)
        if traces and [veskread.decode_string(n) for n in names or ()] != raw["labels"]:
            wrong.append("names")
        for field in wrong:
            self._fault(("read_cut_regions", b.kind, field), "%s: read_cut_regions' %s differ "
                        "from reading's" % (b.name, field))

    def _judge_pictures(self, path):
        """picture_block names the directory's first block of pictures."""
        from vesk import _native

        self._count("picture_block")
        try:
            entries = [e for e in self.ref._read_directory(path) if e[0][5] == 20]
            # a length below 0 is none; one past 64 bits, the most there is
            want = (entries[0][2], min(max(entries[0][1], 0) * 4, 2 ** 63 - 1)) \
                if entries else None
        except Exception:  # noqa: BLE001 -- a directory the reference cannot read
            want = "refused"
        fd = os.open(path, os.O_RDONLY)
        try:
            got = _native.picture_block(fd)
        except (ValueError, OSError):
            got = "refused"
        except Exception as e:  # noqa: BLE001
            got = "raised %r" % e
        finally:
            os.close(fd)
        if got != want:
            self._fault(("picture_block", str(want)[:8], str(got)[:8]),
                        "picture_block %r, the directory's %r" % (got, want))


@contextlib.contextmanager
def _quiet():
    """vesk's warnings and reading's notice, kept from the driver's output."""
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        yield


def _read_natively(b):
    """Whether vesk reads `b` itself, past reading's refusal (as _file.py decides)."""
    return b.cut > 0 or (b.kind == "image map" and b.unfilled > 0) or b.parameters_cut >= 0


def _as_attrs(plain):
    return dict(plain["__attrs__"], __class__=plain["__class__"])


def _values(raw):
    """The main array of a reference result, as vesk's `values`."""
    if "regions" in raw:
        parts = [_as_attrs(r)["spectra"] for r in raw["regions"]]
        width = len(raw["labels"]) if "labels" in raw else len(raw["x"])
        return np.concatenate(parts) if parts else np.zeros((0, width), dtype=np.float32)
    for name in ("y", "spectra", "traces"):
        if name in raw:
            return raw[name]
    raise KeyError(raw["__class__"])


def _number(value):
    return float(value) if type(value) in (int, float) else math.nan


def _same_numbers(a, b):
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def _bits(a):
    """Each element's bits, as unsigned integers of its width."""
    return np.ascontiguousarray(a).view("u%d" % a.dtype.itemsize)


def _same_or_unmeasured(want, got, unmeasured):
    """Bit for bit; or, `unmeasured`, NaN in `got` where reading gives 0."""
    if want.shape != got.shape or want.dtype != got.dtype:
        return False
    differ = _bits(want) != _bits(got)
    if not differ.any():
        return True
    return unmeasured and bool(np.isnan(got[differ]).all() and (want[differ] == 0).all())


def _object_differs(obj, raw, b, fills, same):
    """(field, why) for each array or text of vesk's object that is not reading's."""
    if "regions" in raw:
        regions = _expected_regions([_as_attrs(r) for r in raw["regions"]], fills, b)
        want = _values(dict(raw, regions=[{"__class__": "Region", "__attrs__": list(r.items())}
                                          for r in regions]))
        if not same(want, obj.values):
            yield "values", "values differ from reading's"
    elif not _same_or_unmeasured(_values(raw), obj.values, b.unfilled > 0):
        yield "values", "values differ from reading's"
    if not same(raw["x"], obj.x):
        yield "x", "x differs from reading's"
    if not b.parameters_damage and not same(dict(obj.parameters), raw["parameters"]):
        yield "parameters", "parameters differ from reading's"
    pairs = [("mapX", "map_x"), ("mapY", "map_y"), ("z", "z"), ("labels", "labels")]
    for theirs, mine in pairs:
        if theirs in raw and not same(raw[theirs], getattr(obj, mine)):
            yield mine, "%s differs from reading's" % mine
    if "regions" in raw:
        regions = _expected_regions([_as_attrs(r) for r in raw["regions"]], fills, b)
        if [r["title"] for r in regions] != [r.title for r in obj.regions]:
            yield "titles", "region titles differ from reading's"
        for r, mine in zip(regions, obj.regions):
            for theirs, field in (("mapX", "map_x"), ("mapY", "map_y"),
                                  ("start_time", "start_time"), ("spectra", "values")):
                a, g = r[theirs], getattr(mine, field)
                if (a is None) != (g is None) or a is not None and not same(a, g):
                    yield field, "region %s's %s differs from reading's" % (r["title"], field)


def _expected_regions(regions, fills, b):
    """Reading's regions as vesk gives them: where it fills a map's points no
    stored spectrum fills with NaN (Block.fill), at the table's place, at time
    NaN; reading gives 0 at (0, 0)."""
    if b.kind != "multiregion map" or not b.unfilled or not math.isnan(b.fill):
        return regions
    out = []
    for r, (_group, filled, places) in zip(regions, fills):
        missing = np.frombuffer(filled, dtype=np.uint8) == 0
        r = dict(r, mapX=r["mapX"].copy(), mapY=r["mapY"].copy(),
                 start_time=r["start_time"].copy(), spectra=r["spectra"].copy())
        r["mapX"][missing], r["mapY"][missing] = places[0::2], places[1::2]
        r["start_time"][missing] = np.nan
        r["spectra"][missing] = np.nan
        out.append(r)
    return out

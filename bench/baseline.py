"""A straightforward pure-Python reader of the same calls, as a user would write it.

open, struct per value, np.fromfile per spectrum: the yardstick the benchmark
compares veskread against. Results are plain tuples and dicts; the arrays are
the same as veskread returns. No deliberate slowness, no cleverness either.
"""
from struct import unpack

import numpy as np


def read_short(f):
    return unpack("<h", f.read(2))[0]


def read_int(f):
    return unpack("<i", f.read(4))[0]


def read_int64(f):
    return unpack("<q", f.read(8))[0]


def read_float(f):
    return unpack("<f", f.read(4))[0]


def read_double(f):
    return unpack("<d", f.read(8))[0]


def decode_string(s):
    for enc in ("ascii", "utf8", "latin1"):
        try:
            return s.decode(enc)
        except UnicodeDecodeError:
            pass
    return s.decode("ascii", "ignore")


def decode_block_type(word):
    return ((word >> 0) & 3, (word >> 2) & 3, (word >> 4) & 63, (word >> 10) & 127,
            (word >> 17) & 3, (word >> 19) & 127)


def is_vesk_file(path):
    with open(path, "rb") as f:
        head = f.read(4)
    return len(head) == 4 and unpack(">i", head)[0] == 168492798


def read_directory(path):
    with open(path, "rb") as f:
        f.seek(4)
        read_double(f)
        dir_offset = read_int(f)
        read_int(f)
        count = read_int(f)
        f.seek(dir_offset)
        entries, ext = [], None
        for _ in range(count):
            word, size, offset = read_int(f), read_int(f), read_int(f)
            t = decode_block_type(word)
            entries.append((t, size, offset))
            if t[5] == 64:
                ext = offset
        if ext:
            f.seek(ext)
            m = read_int64(f)
            read_int64(f)
            for _ in range(m):
                word, size, offset, _unused = (read_int64(f), read_int64(f), read_int64(f),
                                               read_int64(f))
                entries.append((decode_block_type(word), size, offset))
    return entries


DATA_TYPES = [None, "SC", "IFG", "PH", "AB", "TR", "KM", "TRC", None, None, "RAM", "EMIS",
              "REFL", None, "POW", "LREFL", "ATR", "PAS", "TRARI", "ABARI"]
DERIVATIVES = ["NONE", "1DER", "2DER", "NDER"]


def list_contents(path):
    if not is_vesk_file(path):
        raise ValueError("Can't process a non-Vesk file")
    types = [e[0] for e in read_directory(path)]

    def name(t, prefix=""):
        if t[2] != 0:
            return None
        dtype, suffix = t[3], ""
        if dtype > 32:
            dtype, suffix = dtype - 32, "-CH2"
        base = DATA_TYPES[dtype]
        if not base:
            return None
        return (prefix + base + suffix, "3D" if t[5] == 10 else "2D", DERIVATIVES[t[4]])

    keys = ([name(t) for t in types if t[1] == 3] + [name(t, "S") for t in types if t[1] == 1]
            + [name(t, "R") for t in types if t[1] == 2] + [name(t) for t in types if t[3] == 7])
    return [k for k in keys if k]


def get_params(f, offset):
    params = {}
    f.seek(offset)
    while True:
        key = f.read(4).decode().strip("\0")
        if key == "END":
            return params
        kind, size = read_short(f), read_short(f)
        if kind == 0:
            value = read_int(f)
        elif kind == 1:
            value = read_double(f)
        elif kind in (2, 3, 4):
            value = decode_string(f.read(2 * size).split(b"\0", 1)[0])
        else:
            raise ValueError("Unexpected value for reading parameter type: %d" % kind)
        params[key] = value


DATA_CODES = {"AB": 4, "TRC": 7}


def find_blocks(directory, data, extend, deriv=0):
    """Offsets of the data block, its parameters and the shared parameter blocks."""
    found = {"data": -1, "params": -1, "anno": -1}
    shared = {3: "acq", 2: "inst", 6: "optics", 10: "sample", 4: "ft"}
    for (_, sample, ptype, dtype, dtype_deriv, ext), _, offset in directory:
        if dtype == data and dtype_deriv == deriv and ext == extend:
            if ptype == 0:
                found["data"] = offset
            elif ptype == 1:
                found["params"] = offset
        elif ptype in shared and (ptype not in (2, 6) or sample == 0):
            found[shared[ptype]] = offset
        elif ext == 11:
            found["anno"] = offset
    return found


def merged_params(f, found):
    params = get_params(f, found["params"])
    for name in ("acq", "inst", "optics", "sample", "ft"):
        if name in found:
            params.update(get_params(f, found[name]))
    return params


def store_offsets(f, offset):
    f.seek(offset)
    _version, stored, raw_offset, block_size, info_size, n = [read_int(f) for _ in range(6)]
    table = [(read_int(f), read_int(f)) for _ in range(n)]
    pos, step, offsets = offset + raw_offset, block_size + info_size, []
    for first, second in table:
        if first == -1:
            pos += second
            continue
        for _ in range(first, second + 1):
            offsets.append(pos)
            pos += step
    return stored, block_size, info_size, offsets


def get_data(path, key):
    """getVeskData for the kinds the benchmark uses (AB/TRC, NONE)."""
    dtype, dims = key[0].upper(), key[1].upper()
    if not is_vesk_file(path):
        raise ValueError("Can't process a non-Vesk file")
    directory = read_directory(path)
    with open(path, "rb") as f:
        found = find_blocks(directory, DATA_CODES[dtype], 10 if dims == "3D" else 0)
        p = merged_params(f, found)
        npt = p["NPT"]
        x = np.linspace(p["FXV"], p["LXV"], npt)
        if dims == "2D":
            f.seek(found["data"])
            return x, np.fromfile(f, dtype=np.float32, count=npt), p
        stored, block_size, info_size, offsets = store_offsets(f, found["data"])
        if {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"} <= p.keys():
            return image_map(f, p, offsets, npt, stored, block_size, info_size, dtype == "TRC")
        if found["anno"] != -1:
            return multiregion(f, found["anno"], offsets, npt, info_size, dtype == "TRC")
        return series(f, offsets, npt, info_size, dtype == "TRC")


def read_trace(f, offset, count, info_size):
    f.seek(offset)
    values = np.fromfile(f, dtype=np.float32, count=count)
    f.seek(152, 1)
    return values, decode_string(f.read(info_size - 152).split(b"\0", 1)[0])


def image_map(f, p, offsets, npt, stored, block_size, info_size, traces):
    npx, npy = p["NPX"], p["NPY"]
    map_x = np.linspace(p["AOX"], p["AOX"] + p["DDX"] * (npx - 1), npx)
    map_y = np.linspace(p["AOY"], p["AOY"] + p["DDY"] * (npy - 1), npy)
    if traces:
        planes, labels = [], []
        for offset in offsets:
            values, label = read_trace(f, offset, npt, info_size)
            planes.append(values.reshape(npy, npx))
            labels.append(label)
        return map_x, map_y, np.dstack(planes), labels
    spectra = np.zeros((npy, npx, npt), dtype=np.float32)
    if block_size != 4 * npt and stored == npt:  # one plane per spectral point
        for i, offset in enumerate(offsets):
            f.seek(offset)
            spectra[:, :, i] = np.fromfile(f, dtype=np.float32, count=npx * npy).reshape(npy, npx)
        return map_x, map_y, spectra
    for i, offset in enumerate(offsets):
        f.seek(offset)
        spectra[i // npx][i % npx] = np.fromfile(f, dtype=np.float32, count=npt)
    return map_x, map_y, spectra


def series(f, offsets, npt, info_size, traces):
    rows, extra = [], []
    for offset in offsets:
        if traces:
            values, label = read_trace(f, offset, npt, info_size)
            rows.append(values)
            extra.append(label)
        else:
            f.seek(offset)
            rows.append(np.fromfile(f, dtype=np.float32, count=npt))
            f.seek(136, 1)
            extra.append(read_double(f))
    return np.vstack(rows), (extra if traces else np.array(extra))


def annotation_table(f, offset):
    columns = {}
    directory = get_params(f, offset + 12)
    for k in range(directory["NRP"]):
        sub_offset = offset + directory["F%02d" % k]
        sub = get_params(f, sub_offset)
        if "SRC" not in sub:
            continue
        cols = [(sub["S%02d" % i], sub["T%02d" % i]) for i in range(sub["NCO"])]
        text = [sub["SRC"] - sub["F%02d" % i] for i in range(sub["NCO"])
                if 1000 <= sub["T%02d" % i] <= 1099]
        strlen = max(text, default=-1)
        for name, _ in cols:
            columns[name] = []
        for row in range(sub["NLN"]):
            f.seek(sub_offset + sub["SIZ"] + row * sub["SRC"])
            for name, kind in cols:
                if kind == 4:
                    columns[name].append(read_int(f))
                elif kind == 5:
                    columns[name].append(read_float(f))
                elif 1000 <= kind <= 1099:
                    columns[name].append(decode_string(f.read(strlen).split(b"\0", 1)[0]))
    return columns


def multiregion(f, anno_offset, offsets, npt, info_size, traces):
    a = annotation_table(f, anno_offset)
    firsts = {}
    for row, g in enumerate(a["Group"]):
        firsts.setdefault(g, row)
    if traces:
        rows, labels = [], []
        for offset in offsets:
            values, label = read_trace(f, offset, npt, info_size)
            rows.append(values)
            labels.append(label)
        all_traces = np.vstack(rows)
    regions = []
    for g in set(a["Group"]):
        j = firsts[g]
        if a["Type"][j] != 0:
            continue
        n = a["AryNX"][j] * a["AryNY"][j]
        if n == 0 and a["AryType"][j] == 0:
            n = a["Group"].count(g)
        map_x, map_y = np.zeros(n), np.zeros(n)
        if traces:
            spectra = np.zeros((n, len(all_traces)), dtype=np.float32)
        else:
            spectra, start = np.zeros((n, npt), dtype=np.float32), np.zeros(n)
        for i in range(n):
            findex = a["Fileindex"][j + i]
            map_x[i], map_y[i] = a["X"][j + i], a["Y"][j + i]
            if traces:
                spectra[i] = all_traces[:, findex - 1]
            else:
                f.seek(offsets[findex])
                spectra[i] = np.fromfile(f, dtype=np.float32, count=npt)
                f.seek(136, 1)
                start[i] = read_double(f)
        regions.append((spectra, map_x, map_y, None if traces else start))
    return regions


def get_vis_images(path):
    directory = read_directory(path)
    block = next((e for e in directory if e[0][5] == 20), None)
    if block is None:
        return []
    offset = block[2]
    images = []
    with open(path, "rb") as f:
        # One directory block, as the benchmark file holds.
        f.seek(offset)
        head = f.read(16)
        pdir = get_params(f, offset + head.find(b"BID"))
        for k in range(pdir["NRP"]):
            sub_offset = offset + pdir["F%02d" % k]
            p = get_params(f, sub_offset)
            image = {}
            for key in p:
                if key == "H00":
                    image["Title"] = p[key]
                elif key.startswith("H"):
                    image[p[key].rstrip(":")] = p[key.replace("H", "V")]
            if p["T00"] == 9:
                f.seek(sub_offset + p["SIZ"] + p["F00"])
                data = f.read(image["Bytes"])
                image["image"] = data[14:] if image["Type"] == 258 else data
            images.append(image)
    return images

"""Files whose declared counts, sizes and offsets ask for far more than they hold.

Each builder makes a small file of one class (its size set by the arguments)
and returns (bytes, call): `call` names the public function and its extra
arguments. A faithful reading of any of them would need gigabytes, hours, or
both; the reader must stop or share instead.
"""
import struct

from vesk_writer import VeskFile, param_block, param_record, spectrum_file
from writer_3d import (BASE_3D, INFO_SIZE, TYPE_FLOAT, TYPE_INT, TYPE_TEXT, annotation_block,
                       file_3d, store_block, stored_block, table_subblock)
from writer_images import IMAGE_DIR_WORD, JPEG, add_image_block, directory_block, key_of, picture

SPECTRUM_3D = ("AB", "3D", "NONE")


def counting_image_chain(levels=30):
    """An image directory chain that counts in binary: about 2**levels steps.

    Level k runs level k-1 twice, keeping where to go back to in the F/Z
    keys of image 10+k; every step changes that stack, so no (position,
    directory) state ever comes back and a cycle guard never fires.
    """
    ret = lambda k: key_of(10 + k)
    jump = lambda k: key_of(50 + k)
    start_jump = key_of(49)

    def directory(nrp, targets):
        recs = [("BID", IMAGE_DIR_WORD), ("NRP", nrp)]
        for key, at in targets.items():
            recs += [("F" + key, at), ("Z" + key, 0)]
        return param_block(recs)

    def blocks(pos):
        b = {"S": directory(50, {key_of(0): pos["D"], ret(levels): pos["T"],
                                 start_jump: pos["E%d" % levels]}),
             "D": param_block([("XYZ", 0)]), "T": b"\x01" * 16, "E0": directory(11, {})}
        for k in range(1, levels + 1):
            b["E%d" % k] = directory(51 + k, {ret(k - 1): pos["M%d" % k],
                                              jump(k): pos["E%d" % (k - 1)]})
            b["M%d" % k] = directory(51 + k, {ret(k - 1): pos["T%d" % k],
                                              jump(k): pos["E%d" % (k - 1)]})
            b["T%d" % k] = directory(11 + k, {})
        return b

    names = _chain_names(levels)
    sizes = blocks({n: 0 for n in names})
    pos, at = {}, 0
    for n in names:
        pos[n] = at
        at += len(sizes[n])
    final = blocks(pos)
    vf = VeskFile()
    add_image_block(vf, b"".join(final[n] for n in names))
    return vf.build(), ("getVisImages",)


def _chain_names(levels):
    names = ["S", "D", "T", "E0"]
    for k in range(1, levels + 1):
        names += ["E%d" % k, "M%d" % k, "T%d" % k]
    return names


def overlapping_regions(rows=1500, npt=256, traces=False, unrecorded=False):
    """Row j is its own group with AryNX = rows - j: rows**2 / 2 points, all
    naming the one stored block (or the first value of the one trace), or
    with `unrecorded` none: each point's coordinates are still built."""
    columns = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
               ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT),
               ("Y", TYPE_FLOAT)]
    index = 10**6 if unrecorded else int(traces)
    table = [(j + 1, 0, rows - j, 1, 0, index, float(j), 0.0) for j in range(rows)]
    anno = annotation_block([table_subblock(columns, table)])
    block = stored_block([1.0] * npt, name="t") if traces else stored_block([1.0] * npt, time=1.0)
    data = store_block([block], block_size=4 * npt)
    key = ("TRC", "3D", "NONE") if traces else SPECTRUM_3D
    return (file_3d(data, dict(BASE_3D, NPT=npt), data_type=7 if traces else 4,
                    anno=anno).build(), ("getVeskData", key))


def keys_naming_one_region_map(rows=720, keys=12):
    """The unrecorded overlapping regions of `rows` rows (each read alone is
    within the bound) named by `keys` keys: opened all at once, as a tree."""
    vf = file_3d(store_block([stored_block([1.0], time=1.0)], block_size=4),
                 dict(BASE_3D, NPT=1), anno=annotation_block([table_subblock(
                     [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT),
                      ("AryNY", TYPE_INT), ("AryType", TYPE_INT), ("Fileindex", TYPE_INT),
                      ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)],
                     [(j + 1, 0, rows - j, 1, 0, 10**6, float(j), 0.0) for j in range(rows)])]))
    return _named_again(vf, keys), ("vesk.tree",)


def keys_naming_one_image_map(keys=12, npx=1000, npy=1000, npt=4):
    """An image map of npx x npy points, one of them recorded, named by
    `keys` keys: a dataset opened lazily holds none of its values, one read
    from a stream all of them."""
    vf = file_3d(store_block([stored_block([1.0] * npt)], block_size=4 * npt),
                 dict(BASE_3D, NPT=npt, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=npx, NPY=npy))
    return _named_again(vf, keys)


def _named_again(vf, keys):
    """The built file_3d `vf`, its parameter and data blocks (its first and
    last) listed again under other keys, `keys` in all."""
    vf.build()
    first = len(vf.blocks)
    others = [(t, d) for t in (4, 1, 2, 3, 5, 6, 8) for d in range(4) if (t, d) != (4, 0)]
    for data_type, deriv_type in others[:keys - 1]:  # its parameter and data blocks again
        for k in (0, first - 1):
            vf.add(b"", size_words=VeskFile._size(vf.blocks[k]), data_type=data_type,
                   deriv_type=deriv_type, extend_type=10, param_type=1 if k == 0 else 0,
                   sample_type=3)
    vf.build()
    for k in range(first, len(vf.blocks)):
        vf.blocks[k]["offset"] = vf.offset_of(0 if (k - first) % 2 == 0 else first - 1)
    return vf.build()


def dense_cut_series(npt=5000, count=20000):
    """A series whose stored blocks lie 4 bytes apart, each reading NPT values
    over the next ones; the last run past the end of the file, so that `vesk`
    reads the whole ones itself: 20,000 x 5,000 values from an 80 KB file."""
    body = struct.pack("<%df" % (count + 100), *([1.0] * (count + 100)))
    data = store_block([body], entries=[(0, count - 1)], block_size=4, info_size=0)
    return file_3d(data, dict(BASE_3D, NPT=npt)).build(), ("getVeskData", SPECTRUM_3D)


def unrecorded_region(points=2000, npt=100_000, regions=1, cut=False):
    """A multiregion map whose points name no stored block (an aborted
    measurement): the regions' long spectra must stay untouched zero pages,
    in `vesk`'s array of all points too. With `cut`, every other point names
    the one stored block, which the end of the file cuts short."""
    columns = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
               ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT),
               ("Y", TYPE_FLOAT)]
    per = points // regions
    table = [(1 + p // per, 0, per, 1, 0, p % 2 if cut else 10**6 + p, float(p), 0.0)
             for p in range(points)]
    anno = annotation_block([table_subblock(columns, table)])
    data = store_block([stored_block([1.0] * 4)], block_size=16)
    built = file_3d(data, dict(BASE_3D, NPT=npt), anno=anno).build()
    # cut 4 bytes into the block's time
    return built[:-(INFO_SIZE - 140)] if cut else built, ("getVeskData", SPECTRUM_3D)


def zero_stride(npt=4000, count=None, image_map=False):
    """Every stored block at one offset (block size + info size = 0), named
    `count` times (by default as often as the size check lets through)."""
    block = stored_block([1.0] * npt, time=2.0)
    size_guess = len(block) + 2048
    if count is None:
        count = size_guess // 4 + 60000
    params = dict(BASE_3D, NPT=npt)
    if image_map:
        params.update(AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=count, NPY=1)
        data = store_block([block], entries=[(0, count - 1)], block_size=4 * npt,
                           info_size=-4 * npt, stored_blocks=1)
    else:
        data = store_block([block], entries=[(0, count - 1)], block_size=0, info_size=0)
    return file_3d(data, params).build(), ("getVeskData", SPECTRUM_3D)


def shared_image(keys=1500, image_len=400_000, note=0):
    """`keys` image keys naming one sub-block that holds a large image, and
    an attribute of `note` control characters (the escapes JSON makes them)."""
    sub = picture("one", JPEG + b"\x07" * image_len,
                  extra_attributes=[("Note:", "\x01" * note)] if note else ())
    dir_len = len(directory_block([(key_of(i), 0, 0) for i in range(keys)], keys))
    entries = [(key_of(i), dir_len, len(sub)) for i in range(keys)]
    vf = VeskFile()
    add_image_block(vf, directory_block(entries, keys) + sub)
    return vf.build(), ("getVisImages",)


def text_before_row(rows=4096, tail=400_000, step=8):
    """A text column whose offset is near -2**31: every cell runs on to the
    end of the text that follows, `tail` bytes without a NUL."""
    sub = table_subblock([("X", TYPE_TEXT)], [("A" * step,)] * rows, row_len=step,
                         offsets=[-2**31 + 16], text_len=step)
    anno = annotation_block([sub]) + b"A" * tail
    data = store_block([stored_block([1.0] * 4, time=1.0)], block_size=16)
    return file_3d(data, dict(BASE_3D), anno=anno).build(), ("getVeskData", SPECTRUM_3D)


def shared_table(entries=1000, rows=20000):
    """An annotation directory whose `entries` F keys all name one table."""
    columns = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
               ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT),
               ("Y", TYPE_FLOAT)]
    table = [(1, 0, 0, 0, 0, 0, float(j), float(-j)) for j in range(rows)]
    records, body = table_subblock(columns, table)
    plen = len(param_block(records + [("SIZ", 0)]))
    sub = param_block(records + [("SIZ", plen)]) + body
    dir_records = lambda at: [("NRP", entries)] + [("F%02d" % i, at) for i in range(entries)]
    at = 12 + len(param_block(dir_records(0)))
    anno = b"\0" * 12 + param_block(dir_records(at)) + sub
    data = store_block([stored_block([1.0] * 4, time=1.0)], block_size=16)
    return file_3d(data, dict(BASE_3D), anno=anno).build(), ("getVeskData", SPECTRUM_3D)


def huge_npt_2d(npt=300_000_000):
    """A 2D block of three values whose NPT declares `npt`."""
    return spectrum_file([1.0, 2.0, 3.0], params={"NPT": npt}).build(), \
        ("getVeskData", ("AB", "2D", "NONE"))


def aborted_image_map(npx=3000, npy=3000, npt=16, recorded=3):
    """An image map of npx x npy points of which only `recorded` were stored."""
    blocks = [stored_block([float(i + 1)] * npt) for i in range(recorded)]
    params = dict(BASE_3D, NPT=npt, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=npx, NPY=npy)
    data = store_block(blocks, block_size=4 * npt)
    return file_3d(data, params).build(), ("getVeskData", SPECTRUM_3D)


def aborted_plane_map(npx=200, npy=200, npt=4096, recorded=1):
    """An image map stored as planes (one spectral point of every map point
    per block) that recorded `recorded` of its `npt` planes: each plane
    writes one value into every point's spectrum, a page apart."""
    plane = npx * npy
    blocks = [stored_block([float(i + 1)] * plane) for i in range(recorded)]
    params = dict(BASE_3D, NPT=npt, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=npx, NPY=npy)
    data = store_block(blocks, block_size=4 * plane, stored_blocks=npt)
    return file_3d(data, params).build(), ("getVeskData", SPECTRUM_3D)


def overlapping_planes(npy=2048, npx=2, npt=2000, step=12):
    """A map stored as `npt` planes that start `step` bytes apart, each
    reading the values of the next ones; read a column at a time, as Dask's
    chunks along x do: a read per row and plane is millions of reads of a
    file of 40 KB."""
    full = npy * npx
    body = struct.pack("<%df" % (full + npt * step // 4), *range(full + npt * step // 4))
    data = store_block([body], entries=[(0, npt - 1)], block_size=4 * full,
                       info_size=step - 4 * full, stored_blocks=npt)
    params = dict(BASE_3D, NPT=npt, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=npx, NPY=npy)
    return file_3d(data, params).build(), ("vesk.tile", SPECTRUM_3D, (0, 1))


def scattered_series(blocks=500_000, npt=1):
    """A time-resolved series of `blocks` tiny stored blocks more than a
    read batch apart, so each is read on its own. Returns (bytes, call, size):
    the file is to be extended (sparse) to `size` bytes, where the blocks lie."""
    info_size = (4 << 20) + 64
    data = store_block([], entries=[(0, blocks - 1)], block_size=4 * npt, info_size=info_size,
                       stored_blocks=blocks)
    raw = file_3d(data, dict(BASE_3D, NPT=npt)).build()
    return raw, ("getVeskData", SPECTRUM_3D), len(raw) + blocks * (4 * npt + info_size) + 4096


def many_records(count, text=0, fill="x"):
    """`count` parameter records of distinct keys, none of them END: integers,
    or texts of `text` characters `fill`."""
    keys = (bytes([33 + i % 94, 33 + i // 94 % 94, 33 + i // 8836 % 94, 0]) for i in range(count))
    value = fill * text if text else 1000
    return b"".join(param_record(k, value) for k in keys if k != b"END\0")


def shared_data_block(npt=1000, types=(1, 2, 3, 5, 6, 7, 8), records=0, repeats=1):
    """A spectrum whose data and parameter blocks (with `records` records
    more) are named again by directory entries of other data types and
    derivations, each `repeats` times: one block read many times."""
    vf = spectrum_file([float(i) for i in range(npt)])
    vf.blocks[1]["payload"] = many_records(records) + vf.blocks[1]["payload"]
    vf.build()
    for data_type in types * repeats:
        for deriv_type in range(4):
            for param_type, b in enumerate(vf.blocks[:2]):  # data, then parameters
                vf.add(b"", size_words=VeskFile._size(b), data_type=data_type,
                       deriv_type=deriv_type, sample_type=3, param_type=param_type)
    vf.build()
    for k in range(2, len(vf.blocks)):  # the layout is now final
        vf.blocks[k]["offset"] = vf.offset_of(k % 2)
    return vf.build(), ("listContents",)


def shifted_parameter_keys(records=100_000, step=10):
    """A spectrum's data block under 95 keys, each with its parameters at a
    run of one large block `step` records further on: no two keys merge the
    same records, so nothing is shared."""
    base = (12, 10, 17, 15, 6, 5, 11, 16, 18, 19, 4, 7)
    vf = spectrum_file([1.0, 2.0, 3.0, 4.0])
    vf.blocks[1]["payload"] = many_records(records) + vf.blocks[1]["payload"]
    vf.build()
    pairs = []
    for data_type in base + tuple(t + 32 for t in base):
        for deriv_type in range(4):
            if (data_type, deriv_type) != (4, 0):
                pairs.append([vf.add(b"", size_words=size, data_type=data_type,
                                     deriv_type=deriv_type, sample_type=3, param_type=kind)
                              for kind, size in ((0, VeskFile._size(vf.blocks[0])), (1, 1))])
    vf.build()
    for j, (data, params) in enumerate(pairs, 1):  # the layout is now final
        vf.blocks[data]["offset"] = vf.offset_of(0)
        vf.blocks[params]["offset"] = vf.offset_of(1) + 12 * step * j
    return vf.build()


def merged_by_every_key(records=100_000, own_block=True, text=0, fill="x"):
    """A spectrum's data block under every 2D and 3D key, each key merging
    one large parameter block (of texts of `text` characters `fill`, if given):
    with `own_block`, the acquisition block that all keys share after a
    small block of each key's own (so no two merges are equal); otherwise,
    each key's data parameters."""
    vf = spectrum_file([1.0, 2.0, 3.0, 4.0])
    large = many_records(records, text, fill) + vf.blocks[1]["payload"]
    if own_block:
        vf.add(large, param_type=3)
    else:
        vf.blocks[1]["payload"] = large
    vf.build()
    types = (12, 10, 17, 15, 6, 5, 11, 16, 18, 19, 4, 7)
    keys = [(t, d, e) for e in (0, 10) for t in types + tuple(t + 32 for t in types)
            for d in range(4) if (t, d, e) != (4, 0, 0)]
    pairs = [(vf.add(b"", size_words=VeskFile._size(vf.blocks[0]), data_type=t, deriv_type=d,
                     extend_type=e, sample_type=3),
              vf.add(param_block({"KEY": j}) if own_block else b"", size_words=None if own_block
                     else 1, data_type=t, deriv_type=d, extend_type=e, sample_type=3,
                     param_type=1)) for j, (t, d, e) in enumerate(keys)]
    vf.build()
    for data, params in pairs:  # the layout is now final
        vf.blocks[data]["offset"] = vf.offset_of(0)
        if not own_block:
            vf.blocks[params]["offset"] = vf.offset_of(1)
    return vf.build()


def many_parameters(records=800_000, text=0):
    """A spectrum whose parameter block holds `records` records (texts of
    `text` characters, if given): as dicts, some 20 times the file's size."""
    vf = spectrum_file([1.0, 2.0, 3.0])
    vf.blocks[1]["payload"] = many_records(records, text) + vf.blocks[1]["payload"]
    return vf.build(), ("getVeskData", ("AB", "2D", "NONE"))


def text_map_step(npx=1_000_000, text=1000):
    """An image map whose DDX is text, which building its x axis repeats
    NPX - 1 times before the axis refuses text."""
    params = dict(BASE_3D, AOX=0.0, AOY=0.0, DDX="A" * text, DDY=1.0, NPX=npx, NPY=1)
    data = store_block([stored_block([1.0] * 4)], block_size=16)
    return file_3d(data, params).build(), ("getVeskData", SPECTRUM_3D)


def overlapping_series(count=4000, npt=2000, **params):
    """A series whose stored blocks lie 4 bytes apart, each reading NPT values
    over the next ones: 8 million values, within the read bound, from 24 KB,
    whose text or lines take many times more. `params` adds parameters."""
    body = struct.pack("<%df" % (count + npt), *[float(i % 97) for i in range(count + npt)])
    data = store_block([body], entries=[(0, count - 1)], block_size=4, info_size=0,
                       stored_blocks=count)
    return file_3d(data, dict(BASE_3D, NPT=npt, **params)).build()


def long_spectra(npt=1_000_000, rows=1, **params):
    """A spectrum (`rows` 1) or a series of `rows` spectra of `npt` noisy
    values: an honest file, whose every value its bytes hold. `params` adds
    parameters to a series (FXV=LXV: every point at one wavenumber)."""
    values = [(k * 7919 % 1000) / 1000.0 for k in range(npt)]
    if rows == 1:
        return spectrum_file(values, {"NPT": npt}).build()
    data = store_block([stored_block(values, time=float(r)) for r in range(rows)],
                       block_size=4 * npt)
    return file_3d(data, dict(BASE_3D, NPT=npt, **params)).build()


def long_trace_names(traces=2, npt=8000, name=8000):
    """Traces whose names are as long as their values: a CSV's long layout
    writes each name on each of its NPT rows, the square of the file."""
    info = 152 + name + 1
    blocks = [stored_block([1.0] * npt, name=chr(65 + k) * name, info_size=info)
              for k in range(traces)]
    data = store_block(blocks, block_size=4 * npt, info_size=info)
    return file_3d(data, dict(BASE_3D, NPT=npt), data_type=7).build()


def many_line_units(lines=16000):
    """A spectrum whose unit code is `lines` short lines: drawn as its axis label."""
    return spectrum_file([1.0, 2.0, 3.0], {"DXU": "W\n" * lines}).build()

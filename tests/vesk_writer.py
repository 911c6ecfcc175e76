"""Test-side writer that composes VESK files from parts.

A file is a header, a main directory, an optional extended directory and the
blocks. `VeskFile` lays them out; the functions below build the block
payloads (parameter blocks, 2D data, ...). Each later block kind adds its own
builder here rather than a writer of its own.
"""
import struct

MAGIC = b"\x0a\x0a\xfe\xfe"


def block_word(complex_type=0, sample_type=0, param_type=0, data_type=0, deriv_type=0,
               extend_type=0):
    """The block-type word with the given fields."""
    return (complex_type | sample_type << 2 | param_type << 4 | data_type << 10
            | deriv_type << 17 | extend_type << 19)


def _signed32(word):
    word &= 0xFFFFFFFF
    return word - (1 << 32) if word >= 1 << 31 else word


# -- parameter blocks -------------------------------------------------------

def param_record(key, value, type_code=None, size=None):
    """One record. int -> type 0, float -> type 1, str/bytes -> type 2 text.

    `type_code` and `size` override what is written (for hostile records);
    a bytes `value` with an explicit type code is written as the raw value.
    """
    kb = key.encode("latin1") if isinstance(key, str) else key
    kb = (kb + b"\0" * 4)[:4]
    if type_code is None:
        if isinstance(value, bool) or isinstance(value, int):
            type_code = 0
        elif isinstance(value, float):
            type_code = 1
        else:
            type_code = 2
    if isinstance(value, bytes) and type_code not in (2, 3, 4):
        raw = value
    elif type_code == 0:
        raw = struct.pack("<i", value)
    elif type_code == 1:
        raw = struct.pack("<d", value)
    else:
        text = value.encode("utf8") if isinstance(value, str) else bytes(value)
        if size is None:
            raw = text + b"\0"
            if len(raw) % 2:
                raw += b"\0"
        else:
            raw = (text + b"\0" * (2 * max(size, 0)))[: 2 * max(size, 0)]
    if size is None:
        size = (len(raw) + 1) // 2
    return kb + struct.pack("<hh", type_code, size) + raw


def param_block(params, end=True):
    """A parameter block from a dict or a list of (key, value) or records (bytes)."""
    items = params.items() if isinstance(params, dict) else params
    out = b""
    for item in items:
        out += item if isinstance(item, bytes) else param_record(*item)
    if end:
        out += b"END\0" + struct.pack("<hh", 0, 0)
    return out


# -- data blocks -------------------------------------------------------------

def float32_block(values):
    """2D data: the values as little-endian float32."""
    return struct.pack("<%df" % len(values), *values)


# -- the container -----------------------------------------------------------

class VeskFile:
    """Collects blocks and lays out a file.

    Layout: 24-byte header, main directory, extended directory (when any block
    goes there), then the blocks in the order they were added, each at a
    4-byte aligned offset.
    """

    def __init__(self, magic=MAGIC):
        self.magic = magic
        self.blocks = []  # dicts: word, payload, extended, size_words, offset

    def add(self, payload, word=None, extended=False, size_words=None, offset=None, **fields):
        """Adds a block; `fields` are block_word() fields when `word` is None.

        `offset` forces the directory offset (the payload is still written
        where the layout puts it). Returns the block's index.
        """
        if word is None:
            word = block_word(**fields)
        self.blocks.append(dict(word=word, payload=payload, extended=extended,
                                size_words=size_words, offset=offset))
        return len(self.blocks) - 1

    def build(self):
        main = [b for b in self.blocks if not b["extended"]]
        ext = [b for b in self.blocks if b["extended"]]
        n_main = len(main) + (1 if ext else 0)
        pos = 24 + 12 * n_main
        ext_at = pos if ext else 0
        if ext:
            pos += 16 + 32 * len(ext)
        body = b""
        for b in self.blocks:
            pad = (-pos) % 4
            body += b"\0" * pad
            pos += pad
            b["at"] = pos
            body += b["payload"]
            pos += len(b["payload"])
        out = self.magic + struct.pack("<d", 0.0) + struct.pack("<iii", 24, 0, n_main)
        for b in main:
            out += struct.pack("<iii", _signed32(b["word"]), self._size(b), self._offset(b))
        if ext:
            out += struct.pack("<iii", block_word(extend_type=64), 0, ext_at)
            out += struct.pack("<qq", len(ext), 0)
            for b in ext:
                out += struct.pack("<qqqq", b["word"], self._size(b), self._offset(b), 0)
        return out + body

    @staticmethod
    def _size(b):
        return b["size_words"] if b["size_words"] is not None else (len(b["payload"]) + 3) // 4

    @staticmethod
    def _offset(b):
        return b["offset"] if b["offset"] is not None else b["at"]

    def offset_of(self, index):
        """Absolute offset of block `index` (after build())."""
        return self.blocks[index]["at"]

    def write(self, path):
        data = self.build()
        with open(path, "wb") as f:
            f.write(data)
        return path


def spectrum_file(values, params=None, data_type=4, sample_type=3, deriv_type=0,
                  extra_params=()):
    """A file with one 2D spectrum and its data parameter block.

    `extra_params` is a list of (param_type, dict[, sample_type]) further blocks.
    """
    values = list(values)
    p = {"NPT": len(values), "FXV": 4000.0, "LXV": 400.0,
         "MXY": max(values) if values else 0.0, "MNY": min(values) if values else 0.0}
    if params:
        p.update(params)
    vf = VeskFile()
    vf.add(float32_block(values), data_type=data_type, sample_type=sample_type,
           deriv_type=deriv_type)
    vf.add(param_block(p), data_type=data_type, sample_type=sample_type, deriv_type=deriv_type,
           param_type=1)
    for extra in extra_params:
        ptype, d = extra[0], extra[1]
        st = extra[2] if len(extra) > 2 else 0
        vf.add(param_block(d), param_type=ptype, sample_type=st)
    return vf


# -- raw containers, for files that the layout above would never produce ----

def raw_header(dir_offset, count, magic=MAGIC, first=0.0, unused=0):
    """The 24-byte header: magic, a float64, directory offset, an int32, entry count."""
    return magic + struct.pack("<diii", first, dir_offset, unused, count)


def main_entries(entries):
    """Main-directory entries from (word, size_words, offset) triples."""
    return b"".join(struct.pack("<iii", _signed32(w), s, o) for w, s, o in entries)


def ext_directory(entries, count=None, unused=0):
    """An extended directory: head (count, unused) and (word, size, offset[, extra]) entries."""
    out = struct.pack("<qq", len(entries) if count is None else count, unused)
    for e in entries:
        w, s, o = e[:3]
        extra = e[3] if len(e) > 3 else 0
        out += struct.pack("<qqqq", w, s, o, extra)
    return out


def directory_file(entries, ext_entries=None, count=None, ext_count=None):
    """Header and main directory (right after it), then an optional extended directory.

    The extended directory, when given, follows the main one and a main entry
    with extendType 64 pointing at it is appended. `count` and `ext_count`
    override the declared counts.
    """
    entries = list(entries)
    n_main = len(entries) + (1 if ext_entries is not None else 0)
    ext_at = 24 + 12 * n_main
    if ext_entries is not None:
        entries.append((block_word(extend_type=64), 0, ext_at))
    out = raw_header(24, n_main if count is None else count) + main_entries(entries)
    if ext_entries is not None:
        out += ext_directory(ext_entries, count=ext_count)
    return out

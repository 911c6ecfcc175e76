"""Builders for the visible-image block.

The block starts with an image-directory parameter block (a BID record whose
word has extendType 20, NRP, and per image Fkk/Zkk: sub-block offset from the
block start and sub-block size), followed by the image sub-blocks it lists. A
chain of directory blocks is laid out as the reader walks it: each further
directory block starts (after optional padding, at most 13 bytes so that its
BID record is within the 16 bytes searched) where the last image listed so far
ends, and raises NRP to the running total.
"""
import struct

from vesk_writer import block_word, param_block

IMAGE_DIR_WORD = block_word(extend_type=20)
JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + bytes(range(40))
PNG = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(range(100, 140))
BMP = b"BM" + struct.pack("<IHHI", 66, 0, 0, 26) + bytes(range(200, 252))


def key_of(i):
    """Image key of number i: two digits up to 99, then AA.. AZ, BA.. ZZ, AAA..

    From 100 on the keys run through bijective base 26 (A=1 .. Z=26), where
    "AA" is the number 27.
    """
    if i < 100:
        return "%02d" % i
    n = i - 100 + 27
    out = ""
    while n:
        n, r = divmod(n - 1, 26)
        out = chr(65 + r) + out
    return out


def image_sub_block(title=None, attributes=(), image=b"", t00=9, f00=0, gap=b"",
                    extra=(), siz=None, omit=()):
    """A sub-block: parameter block, then the data area holding `image` at F00.

    `attributes` are (name, value) pairs written as H01/V01, H02/V02, ...;
    `extra` records go after them; `omit` drops layout keys (SIZ, T00, F00);
    `gap` fills the data area before the image (F00 is its length unless given).
    """
    if gap and not f00:
        f00 = len(gap)
    records = []
    if title is not None:
        records.append(("H00", title))
    for n, (name, value) in enumerate(attributes, 1):
        records += [("H%02d" % n, name), ("V%02d" % n, value)]
    records += list(extra)

    def layout(siz_value):
        tail = [("SIZ", siz_value), ("T00", t00), ("F00", f00)]
        return records + [r for r in tail if r[0] not in omit]

    head_len = len(param_block(layout(0)))
    head = param_block(layout(head_len if siz is None else siz))
    return head + gap + image


def picture(title, payload, type_=1, extra_attributes=(), **kw):
    """A sub-block for an image with the usual attributes (names end in ':')."""
    attrs = [("Bytes:", len(payload)), ("Type:", type_)] + list(extra_attributes)
    return image_sub_block(title=title, attributes=attrs, image=payload, **kw)


def directory_block(entries, nrp, bid=IMAGE_DIR_WORD, extra=(), omit=()):
    """An image-directory parameter block; `entries` are (key, F, Z)."""
    records = [("BID", bid), ("NRP", nrp)]
    for key, f, z in entries:
        records += [("F" + key, f), ("Z" + key, z)]
    records += list(extra)
    return param_block([r for r in records if r[0] not in omit])


def image_block(groups, trailer=b""):
    """The payload of a visible-image block.

    `groups` is a list of dicts, one per directory block: "images" (sub-block
    bytes), optional "pad" (bytes before the BID record), "bid", "nrp" (default:
    the running image count), "extra" (records), "omit" (keys left out).
    Returns (payload, entries) with entries the (key, F, Z) of every image.
    """
    payload = b""
    entries = []
    for g in groups:
        first = len(entries)
        pad = b"\0" * g.get("pad", 0)
        keys = [key_of(first + k) for k in range(len(g["images"]))]
        nrp = g.get("nrp", first + len(keys))
        kw = dict(bid=g.get("bid", IMAGE_DIR_WORD), extra=g.get("extra", ()),
                  omit=g.get("omit", ()))
        dir_len = len(directory_block([(k, 0, 0) for k in keys], nrp, **kw))
        pos = len(payload) + len(pad) + dir_len
        mine = []
        for k, sub in zip(keys, g["images"]):
            mine.append((k, pos, len(sub)))
            pos += len(sub)
        payload += pad + directory_block(mine, nrp, **kw) + b"".join(g["images"])
        entries += mine
    return payload + trailer, entries


def add_image_block(vf, payload, size_words=None, **fields):
    """Adds the block to a VeskFile with extendType 20; returns its index."""
    fields.setdefault("extend_type", 20)
    return vf.add(payload, size_words=size_words, **fields)


__all__ = ["IMAGE_DIR_WORD", "JPEG", "PNG", "BMP", "key_of", "image_sub_block", "picture",
           "directory_block", "image_block", "add_image_block"]

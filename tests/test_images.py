"""Visible images (getVisImages) and the image type test (imghdr_what)."""
import pathlib
import re
import struct

import pytest

import veskread
from vesk_writer import VeskFile, block_word, param_block, spectrum_file
from writer_images import (BMP, IMAGE_DIR_WORD, JPEG, PNG, add_image_block, directory_block,
                           image_block, image_sub_block, key_of, picture)


@pytest.fixture
def image_file(write_file):
    """A file with a spectrum first, then the visible-image block."""

    def write(payload, size_words=None):
        vf = spectrum_file([1.0, 2.0, 3.0])
        add_image_block(vf, payload, size_words=size_words)
        return write_file(vf)

    return write


def padded(payload):
    return payload + b"\0" * (-len(payload) % 4)


# -- image type ---------------------------------------------------------------

@pytest.mark.parametrize("head, expected", [
    (b"", None),
    (b"B", None),
    (b"BM", "bmp"),
    (b"BM" + b"\0" * 50, "bmp"),
    (b"bm\0\0", None),
    (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00", "jpeg"),
    (b"\xff\xd8\xff\xe0\x00\x10jfif\x00", None),
    (b"\xff\xd8\xff\xe1\x00\x10Exif\x00", "jpeg"),
    (b"\xff\xd8\xff\xe1\x00\x10EXIF\x00", None),
    (b"\xff\xd8\xff\xe1\x00\x10abcd", None),
    (b"\xff\xd8\xff\xee" + b"\0" * 20, None),
    (b"\xff\xd8\xff\xdb", "jpeg"),
    (b"\xff\xd8\xff", None),
    (b"......JFIF", "jpeg"),           # marker alone is enough
    (b"......JFI", None),
    (b"BM....JFIF", "jpeg"),           # JPEG test runs before BMP
    (b"\x89PNG\r\n\x1a\n", "png"),
    (b"\x89PNG\r\n\x1a", None),        # signature missing its last byte
    (b"\x89png\r\n\x1a\n", None),
    (b"GIF87a", "gif"),
    (b"GIF89a" + b"\0" * 10, "gif"),
    (b"GIF88a", None),
    (b"gif89a", None),
    (b"GIF89", None),
])
@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_imghdr_what_signatures(head, expected, kind):
    assert veskread.imghdr_what(kind(head)) == expected


class Bytes2(bytes):
    pass


@pytest.mark.parametrize("value, expected", [
    (Bytes2(b"\x89PNG\r\n\x1a\n..."), "png"),
    (Bytes2(b"xx"), None),
    (memoryview(b"\xff\xd8\xff\xdb..."), "jpeg"),          # slices compare equal to bytes
    ("abcdefJFIF", TypeError),  # a str slice never equals bytes; startswith refuses bytes
    ("BM", TypeError),
    (7, TypeError),
    (None, TypeError),
    (memoryview(b"BM"), AttributeError),                    # no startswith
])
def test_imghdr_what_other_values(value, expected):
    if isinstance(expected, type) and issubclass(expected, Exception):
        with pytest.raises(expected):
            veskread.imghdr_what(value)
    else:
        assert veskread.imghdr_what(value) == expected


def test_imghdr_what_str_message():
    with pytest.raises(TypeError, match="startswith first arg must be str or a tuple of str, not bytes"):
        veskread.imghdr_what("not bytes")


def test_imghdr_what_arguments():
    assert veskread.imghdr_what(h=b"BM") == "bmp"
    with pytest.raises(TypeError):
        veskread.imghdr_what()
    with pytest.raises(TypeError):
        veskread.imghdr_what(b"BM", b"BM")
    assert veskread.imghdr_what.__doc__ == "Simplified version of imghdr.what()"


# -- reading images -----------------------------------------------------------

def test_three_images_and_a_note(image_file):
    subs = [
        picture("Overview", JPEG, extra_attributes=[("Pos. X:", 33733.0), ("Pos. Y::", -12.5)]),
        picture("Detail", BMP, extra_attributes=[("Objective", "15x")]),
        picture("Sample", PNG),
        image_sub_block(title="Note", attributes=[("Comment:", "hello")], t00=3),
    ]
    payload, _ = image_block([{"images": subs}])
    path = image_file(padded(payload))
    result = veskread.getVisImages(path)
    expected = [
        {"Title": "Overview", "Bytes": len(JPEG), "Type": 1, "Pos. X": 33733.0, "Pos. Y": -12.5,
         "image": JPEG, "imgext": "jpeg"},
        {"Title": "Detail", "Bytes": len(BMP), "Type": 1, "Objective": "15x", "image": BMP,
         "imgext": "bmp"},
        {"Title": "Sample", "Bytes": len(PNG), "Type": 1, "image": PNG, "imgext": "png"},
        {"Title": "Note", "Comment": "hello"},
    ]
    assert result == expected
    assert [list(d) for d in result] == [list(d) for d in expected]
    assert all(type(d["image"]) is bytes for d in result[:3])


def test_path_keyword_and_typed_path(image_file):
    payload, _ = image_block([{"images": [picture("a", BMP)]}])
    path = image_file(padded(payload))
    assert veskread.getVisImages(path=path)[0]["image"] == BMP
    for bad, name in [(path.encode(), "bytes"), (pathlib.Path(path), "PosixPath")]:
        with pytest.raises(TypeError, match=r"Argument 'path' has incorrect type \(expected str, "
                                            r"got %s\)" % name):
            veskread.getVisImages(bad)


def test_no_image_block_gives_empty_list(write_file):
    path = write_file(spectrum_file([1.0, 2.0]))
    assert veskread.getVisImages(path) == []


def test_missing_file():
    with pytest.raises(FileNotFoundError):
        veskread.getVisImages("/nonexistent/dir/file.vesk")


def test_first_image_block_wins_and_extended_directory(write_file):
    first, _ = image_block([{"images": [picture("first", BMP)]}])
    second, _ = image_block([{"images": [picture("second", PNG)]}])
    vf = spectrum_file([1.0])
    add_image_block(vf, padded(first), extended=True)
    add_image_block(vf, padded(second), extended=True)
    path = write_file(vf)
    assert [d["Title"] for d in veskread.getVisImages(path)] == ["first"]


@pytest.mark.parametrize("count", [101, 130, 777])
def test_keys_beyond_99_over_a_chain(image_file, count):
    subs = [image_sub_block(title="t%d" % i, t00=0) for i in range(count)]
    split = count // 2
    payload, entries = image_block([{"images": subs[:split]},
                                    {"images": subs[split:], "pad": 13}])
    assert entries[-1][0] == key_of(count - 1)
    path = image_file(padded(payload))
    assert [d["Title"] for d in veskread.getVisImages(path)] == ["t%d" % i for i in range(count)]


@pytest.mark.parametrize("block_end", ["exact", "trailing zeros", "short tail"])
def test_chain_of_three_directories(image_file, block_end):
    pics = [picture("p%d" % i, bytes([66, 77, i]) * 5) for i in range(6)]
    payload, _ = image_block([{"images": pics[:1]}, {"images": pics[1:4], "pad": 3},
                              {"images": pics[4:]}],
                             trailer=b"\0" * 40 if block_end == "trailing zeros" else b"")
    size_words = None
    if block_end == "exact":
        payload = padded(payload)
    elif block_end == "short tail":
        size_words = len(payload) // 4 + 20  # the block claims more than is there
    path = image_file(payload, size_words=size_words)
    result = veskread.getVisImages(path)
    assert [(d["Title"], d["image"], d["imgext"]) for d in result] == \
        [("p%d" % i, bytes([66, 77, i]) * 5, "bmp") for i in range(6)]


def test_bid_beyond_16_bytes_ends_the_chain(image_file):
    pics = [picture("p0", BMP), picture("p1", PNG)]
    payload, _ = image_block([{"images": pics[:1]}, {"images": pics[1:], "pad": 14}])
    path = image_file(padded(payload))
    assert [d["Title"] for d in veskread.getVisImages(path)] == ["p0"]


def test_image_00_block_may_extend_the_directory(image_file):
    # The directory names one image; image 00's own block carries a BID of
    # the image block type and adds the second image.
    dir_len = len(directory_block([("00", 0, 0)], 1))
    second = picture("second", PNG)

    def first(y):
        # Its F00 (unused with T00 0) equals its own offset, as the joined
        # directory then needs.
        return image_sub_block(title="first", t00=0, f00=dir_len, extra=[
            ("BID", IMAGE_DIR_WORD), ("NRP", 2), ("F01", y), ("Z01", len(second))])

    y = dir_len + len(first(0))
    payload = directory_block([("00", dir_len, 0)], 1) + first(y) + second
    path = image_file(padded(payload))
    result = veskread.getVisImages(path)
    assert [d["Title"] for d in result] == ["first", "second"]
    assert result[1]["image"] == PNG


def test_image_00_block_with_other_bid_does_not_join(image_file):
    sub = image_sub_block(title="only", t00=0, extra=[("BID", block_word(extend_type=10)),
                                                      ("NRP", 5)])
    payload, _ = image_block([{"images": [sub]}])
    path = image_file(padded(payload))
    assert veskread.getVisImages(path) == [{"Title": "only"}]


def test_type_258_drops_a_header(image_file):
    body = b"\xff\xd8\xff\xe0\x00\x10JFIF" + b"\0" * 4 + b"BM" + bytes(range(84))
    assert len(body) == 100
    sub = image_sub_block(title="raw", attributes=[("Bytes", 100), ("Type", 258)],
                          image=body, gap=b"\xaa" * 6)
    payload, _ = image_block([{"images": [sub]}])
    path = image_file(padded(payload))
    (image,) = veskread.getVisImages(path)
    assert image["image"] == body[14:]
    assert len(image["image"]) == 86
    assert image["imgext"] == "bmp"


@pytest.mark.parametrize("type_value, dropped", [(258, True), (258.0, True), ("258", False),
                                                 (257, False)])
def test_type_comparison(image_file, type_value, dropped):
    body = bytes(range(30))
    sub = image_sub_block(attributes=[("Type", type_value), ("Bytes", 30)], image=body)
    payload, _ = image_block([{"images": [sub]}])
    (image,) = veskread.getVisImages(image_file(padded(payload)))
    assert image["image"] == (body[14:] if dropped else body)


@pytest.mark.parametrize("t00, has_image", [(9, True), (9.0, True), (0, False), (10, False),
                                            ("9", False)])
def test_t00_selects_image_data(image_file, t00, has_image):
    sub = image_sub_block(title="x", attributes=[("Bytes", 2), ("Type", 0)], image=b"BM",
                          t00=t00)
    payload, _ = image_block([{"images": [sub]}])
    (image,) = veskread.getVisImages(image_file(padded(payload)))
    assert ("image" in image) == has_image
    assert ("imgext" in image) == has_image
    if has_image:
        assert (image["image"], image["imgext"]) == (b"BM", "bmp")


def test_bytes_beyond_the_file_and_to_the_end(write_file):
    # The image sits at the very end of the file: larger counts give what is there.
    body = b"BM" + bytes(range(10))
    for count in (len(body), 10_000, 2**31 - 1, -1):
        sub = image_sub_block(attributes=[("Bytes", count), ("Type", 1)], image=body)
        payload, _ = image_block([{"images": [sub]}])
        vf = VeskFile()
        add_image_block(vf, payload)
        (image,) = veskread.getVisImages(write_file(vf))
        assert image["image"] == body


@pytest.mark.parametrize("count, exc, message", [
    (-2, ValueError, "read length must be non-negative or -1"),
    (1.5, TypeError, "argument should be integer or None, not 'float'"),
    ("12", TypeError, "argument should be integer or None, not 'str'"),
])
def test_bad_byte_counts(image_file, count, exc, message):
    sub = image_sub_block(attributes=[("Bytes", count), ("Type", 1)], image=BMP)
    payload, _ = image_block([{"images": [sub]}])
    with pytest.raises(exc, match="(?m)^%s$" % message):
        veskread.getVisImages(image_file(padded(payload)))


def test_attribute_names_and_repeats(image_file):
    sub = image_sub_block(title=5, attributes=[
        ("Pos. X:", 1.0), ("Pos. X::", 2.0), ("Other", 3), (":A:B::", "x"), ("", 4)],
        extra=[("HH1", "twice"), ("VV1", 9)], t00=0)
    payload, _ = image_block([{"images": [sub]}])
    (image,) = veskread.getVisImages(image_file(padded(payload)))
    assert image == {"Title": 5, "Pos. X": 2.0, "Other": 3, ":A:B": "x", "": 4, "twice": 9}
    assert list(image) == ["Title", "Pos. X", "Other", ":A:B", "", "twice"]


@pytest.mark.parametrize("count", [1, 12])  # a short block, and one past the indexed size
def test_repeated_record_keeps_first_place_and_last_value(image_file, count):
    sub = image_sub_block(title="t", attributes=[("A%d" % k, k) for k in range(count)],
                          extra=[("V01", -1), ("H00", "u")], t00=0)
    payload, _ = image_block([{"images": [sub]}])
    (image,) = veskread.getVisImages(image_file(padded(payload)))
    assert list(image.items()) == [("Title", "u"), ("A0", -1)] + [
        ("A%d" % k, k) for k in range(1, count)]


def test_image_lookup_uses_current_module_function(image_file, monkeypatch):
    payload, _ = image_block([{"images": [picture("a", BMP)]}])
    path = image_file(padded(payload))
    seen = []
    monkeypatch.setattr(veskread, "imghdr_what", lambda h: seen.append(h) or "custom")
    (image,) = veskread.getVisImages(path)
    assert image["imgext"] == "custom"
    assert seen == [BMP]


# -- failures -----------------------------------------------------------------

def one_image(**group):
    group.setdefault("images", [picture("a", BMP)])
    payload, _ = image_block([group])
    return padded(payload)


@pytest.mark.parametrize("payload, key", [
    (one_image(omit=("NRP",)), "NRP"),
    (one_image(pad=16), "NRP"),                                   # no BID found at all
    (b"\0" * 64, "NRP"),
    (one_image(bid=block_word(extend_type=21)), "F00"),           # BID of another kind
    (one_image(nrp=0), "F-1"),
    (one_image(nrp=-7), "F-8"),
    (one_image(nrp=2), "F01"),
    (one_image(nrp=2**31 - 1), "F" + key_of(2**31 - 2)),          # nothing sized from NRP
    (one_image(omit=("Z00",)), "Z00"),
    (one_image(images=[image_sub_block(title="a", omit=("SIZ",))]), "SIZ"),
    (one_image(images=[image_sub_block(title="a", omit=("T00",))]), "T00"),
    (one_image(images=[image_sub_block(attributes=[("Bytes", 1), ("Type", 1)],
                                       omit=("F00",))]), "F00"),
    (one_image(images=[image_sub_block(attributes=[("Type", 1)])]), "Bytes"),
    (one_image(images=[image_sub_block(attributes=[("Bytes", 1)])]), "Type"),
    (one_image(images=[image_sub_block(extra=[("H07", "x")], t00=0)]), "V07"),
    (one_image(images=[image_sub_block(extra=[("HH1", "x")], t00=0)]), "VV1"),
])
def test_missing_keys(image_file, payload, key):
    with pytest.raises(KeyError) as info:
        veskread.getVisImages(image_file(payload))
    assert info.value.args == (key,)


def test_empty_block_is_missing_nrp(image_file):
    with pytest.raises(KeyError, match="NRP"):
        veskread.getVisImages(image_file(b"", size_words=0))


@pytest.mark.parametrize("value, message", [
    (3, "'int' object has no attribute 'rstrip'"),
    (3.5, "'float' object has no attribute 'rstrip'"),
])
def test_attribute_name_not_text(image_file, value, message):
    payload = one_image(images=[image_sub_block(attributes=[("ok", 1), (value, 2)], t00=0)])
    with pytest.raises(AttributeError, match="(?m)^%s$" % message):
        veskread.getVisImages(image_file(payload))


@pytest.mark.parametrize("before", [
    [],
    [("H01", "no value")],   # its V01 is missing
    [("H01", 7), ("V01", 1)],  # a name that is not text
])
def test_empty_key_in_image_block(image_file, before):
    # The H keys are picked out of the whole block first, so an empty key
    # anywhere fails before any attribute is looked at.
    sub = image_sub_block(title="a", extra=before + [(b"\0\0\0\0", 1)], t00=0)
    with pytest.raises(IndexError, match="(?m)^string index out of range$"):
        veskread.getVisImages(image_file(one_image(images=[sub])))


@pytest.mark.parametrize("extra, exc, message", [
    ([("NRP", "two")], TypeError, "unsupported operand type(s) for -: 'str' and 'int'"),
    ([("NRP", 1.0)], TypeError, "'float' object cannot be interpreted as an integer"),
    ([("Z00", "big")], TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
    ([("Z00", 4.0)], TypeError, "'float' object cannot be interpreted as an integer"),
    ([("F00", "x")], TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
    ([("F00", 8.0)], TypeError, "'float' object cannot be interpreted as an integer"),
    ([("BID", 1.0)], TypeError, "unsupported operand type(s) for >>: 'float' and 'int'"),
    ([("BID", "w")], TypeError, "unsupported operand type(s) for >>: 'str' and 'int'"),
    ([("F00", -10**6)], OSError, "[Errno 22] Invalid argument"),
])
def test_directory_value_types(image_file, extra, exc, message):
    # Later records of the same key win, so `extra` replaces the good value.
    with pytest.raises(exc, match="(?m)^%s$" % re.escape(message)):
        veskread.getVisImages(image_file(one_image(extra=extra)))


def test_truncated_image_block(write_file):
    payload = one_image()
    vf = VeskFile()
    add_image_block(vf, payload[:30])
    with pytest.raises(struct.error):
        veskread.getVisImages(write_file(vf))


# -- chains that come back -----------------------------------------------------

def build(parts):
    """Concatenates parts; each part is bytes or a function of the dict of part
    positions (keyed by name) returning bytes of a length independent of them."""
    names = [n for n, _ in parts]
    zero = {n: 0 for n in names}
    pos, at = {}, 0
    for n, p in parts:
        pos[n] = at
        at += len(p(zero) if callable(p) else p)
    return b"".join(p(pos) if callable(p) else p for _, p in parts), pos


def test_chain_loop_ends(image_file):
    # A's last image ends where B starts; B's ends at A: the scan would go
    # round between them for ever.
    sub = picture("looped", BMP)
    payload, pos = build([
        ("A", lambda p: directory_block([("00", p["img"], p["B"] - p["img"])], 1)),
        ("img", sub),
        ("B", lambda p: directory_block([("00", p["img"], -p["img"])], 1)),
    ])
    path = image_file(padded(payload) + b"\0" * 64)
    result = veskread.getVisImages(path)
    assert [(d["Title"], d["image"]) for d in result] == [("looped", BMP)]


def test_chain_may_revisit_a_position_with_a_new_directory(image_file):
    # P is visited twice; the second time the directory knows two images and
    # the chain moves on to a third directory block.
    subs = [picture("p%d" % i, bytes([66, 77, i, i])) for i in range(3)]
    payload, pos = build([
        ("A", lambda p: directory_block([("00", p["x"], p["P"] - p["x"])], 1)),
        ("x", subs[0]),
        ("P", lambda p: param_block([("BID", IMAGE_DIR_WORD), ("Z00", p["R"] - p["x"]),
                                     ("F01", p["y"]), ("Z01", p["S"] - p["y"])])),
        ("R", lambda p: param_block([("BID", IMAGE_DIR_WORD), ("NRP", 2),
                                     ("Z01", p["P"] - p["y"])])),
        ("y", subs[1]),
        ("S", lambda p: directory_block([("02", p["w"], p["T"] - p["w"])], 3)),
        ("w", subs[2]),
        ("T", b""),
    ])
    path = image_file(padded(payload) + b"\0" * 16)
    result = veskread.getVisImages(path)
    assert [(d["Title"], d["image"]) for d in result] == \
        [("p%d" % i, bytes([66, 77, i, i])) for i in range(3)]


def test_image_00_block_takes_back_its_keys_at_every_step(image_file):
    # Image 00's block joins the directory at every step, so its F01 wins
    # over the one the second directory block brings.
    payload, pos = build([
        ("A", lambda p: directory_block([("00", p["x"], p["B"] - p["x"])], 1)),
        ("x", lambda p: image_sub_block(title="p0", t00=0, f00=p["x"], extra=[
            ("BID", IMAGE_DIR_WORD), ("F01", p["y"]), ("Z01", p["B"] - p["y"])])),
        ("y", picture("p1", BMP)),
        ("B", lambda p: directory_block([("01", p["z"], 4)], 2)),
        ("z", picture("decoy", PNG)),
    ])
    path = image_file(padded(payload))
    assert [d["Title"] for d in veskread.getVisImages(path)] == ["p0", "p1"]


def test_long_chain_under_a_large_image_00_block(image_file):
    # Image 00's block is joined at every step; the chain must still cost
    # its length, not its length times that block's.
    first = picture("first", JPEG, extra_attributes=[("Notes:", "x" * 30000)])
    groups = [{"images": [first]}] + [{"images": [picture("p%d" % k, BMP)]} for k in range(300)]
    payload, _ = image_block(groups)
    result = veskread.getVisImages(image_file(padded(payload)))
    assert [d["Title"] for d in result] == ["first"] + ["p%d" % k for k in range(300)]


def test_a_decoder_of_the_callers_decodes_each_images_attributes(write_file, monkeypatch):
    # Keys naming one picture share its decoded attributes only while
    # decoding is the module's own: the caller's decoder sees every image.
    import hostile_files
    calls = []
    monkeypatch.setattr(veskread, "decode_string",
                        lambda b: calls.append(b) or b.decode("latin-1"))
    counts = []
    for keys in (1, 3):
        calls.clear()
        data = hostile_files.shared_image(keys=keys, image_len=16, note=4)[0]
        images = veskread.getVisImages(write_file(data))
        counts.append(len(calls))
        assert all(i == images[0] and i is not images[0] for i in images[1:])
    assert counts[1] == 3 * counts[0] > 0


def test_a_decoder_bound_during_the_call_decodes_the_images_after(write_file, monkeypatch):
    # A caller's imghdr_what may rebind decode_string: the images after it
    # are decoded by that, not given the attributes decoded before.
    import hostile_files
    own = veskread.imghdr_what

    def what(h):
        monkeypatch.setattr(veskread, "decode_string",
                            lambda b: b.decode("latin-1").replace("one", "ONE"))
        return own(h)

    monkeypatch.setattr(veskread, "imghdr_what", what)
    data = hostile_files.shared_image(keys=3, image_len=16, note=4)[0]
    assert [i["Title"] for i in veskread.getVisImages(write_file(data))] == ["one", "ONE", "ONE"]

"""isVeskFile, the directory (through listContents) and the listing of data blocks."""
import errno
import gc
import os
import pathlib
import struct
import warnings

import pytest

import veskread
from vesk_writer import (MAGIC, VeskFile, block_word, directory_file, ext_directory,
                         main_entries, param_block, raw_header, spectrum_file)

AB = ("AB", "2D", "NONE")


def key_entry(offset=1000, size=1, **fields):
    return (block_word(**fields), size, offset)


@pytest.fixture(autouse=True)
def closes_its_files(no_fd_leak):
    """Every test here also checks that no descriptor and no unclosed file is left."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        yield
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


# -- isVeskFile ---------------------------------------------------------------

@pytest.mark.parametrize("data,expected", [
    (b"", False),
    (b"\x0a", False),
    (b"\x0a\x0a", False),
    (b"\x0a\x0a\xfe", False),
    (MAGIC, True),
    (b"\xfe\xfe\x0a\x0a", False),          # the opposite byte order
    (b"\x0a\x0a\xfe\xff", False),
    (MAGIC + b"anything after", True),
    (b"\x00" * 64, False),
])
def test_is_vesk_file(write_file, data, expected):
    assert veskread.isVeskFile(write_file(data)) is expected


def test_is_vesk_file_path_kinds(write_file):
    path = write_file(MAGIC + b"\0" * 20)
    assert veskread.isVeskFile(os.fsencode(path)) is True
    assert veskread.isVeskFile(pathlib.Path(path)) is True


# isVeskFile catches a short read by the module's name `struct_error` as it
# stands; the short read itself is always struct.error, as unpack raises it.
@pytest.mark.parametrize("bound, caught", [
    (KeyError, False), ((KeyError, struct.error), True), (Exception, True), (5, TypeError)])
def test_short_file_caught_by_struct_error_as_bound(write_file, monkeypatch, bound, caught):
    short, header_only = write_file(b"\x0a\x0a"), write_file(raw_header(24, 3))
    monkeypatch.setattr(veskread, "struct_error", bound)
    if caught is True:
        assert veskread.isVeskFile(short) is False
    else:
        with pytest.raises(caught or struct.error) as info:
            veskread.isVeskFile(short)
        assert info.type is (caught or struct.error)
    with pytest.raises(struct.error) as info:
        veskread.listContents(header_only)
    assert info.type is struct.error


def _open_error(arg):
    try:
        open(arg, "rb").close()
    except Exception as e:
        return e
    raise AssertionError("open accepted %r" % (arg,))


@pytest.mark.parametrize("fn", [veskread.isVeskFile, veskread.listContents])
def test_open_errors_pass_through(tmp_path, fn):
    for arg in (str(tmp_path / "missing.vesk"), str(tmp_path), None, 3.5, [1]):
        expected = _open_error(arg)
        with pytest.raises(type(expected)) as info:
            fn(arg)
        assert str(info.value) == str(expected)
    with pytest.raises(FileNotFoundError):
        fn(str(tmp_path / "missing.vesk"))


# -- listContents on well-formed files ----------------------------------------

def test_single_spectrum(write_file):
    vf = spectrum_file([1.0, 2.0, 3.0], extra_params=[(2, {"INS": "x"}), (3, {"AQM": "SN"})])
    assert veskread.listContents(write_file(vf.build())) == [AB]


def test_result_types(write_file):
    result = veskread.listContents(write_file(spectrum_file([1.0]).build()))
    assert type(result) is list
    assert all(type(k) is tuple and len(k) == 3 for k in result)
    assert all(type(s) is str for k in result for s in k)


@pytest.mark.parametrize("fields,expected", [
    (dict(sample_type=3, data_type=4), ("AB", "2D", "NONE")),
    (dict(sample_type=1, data_type=4), ("SAB", "2D", "NONE")),
    (dict(sample_type=2, data_type=4), ("RAB", "2D", "NONE")),
    (dict(sample_type=1, data_type=34, deriv_type=1, extend_type=10),
     ("SIFG-CH2", "3D", "1DER")),
    (dict(sample_type=3, data_type=33), ("SC-CH2", "2D", "NONE")),
    (dict(sample_type=3, data_type=39), ("TRC-CH2", "2D", "NONE")),
    (dict(sample_type=3, data_type=51, deriv_type=3), ("ABARI-CH2", "2D", "NDER")),
    (dict(sample_type=3, data_type=16, deriv_type=2, extend_type=11), ("ATR", "2D", "2DER")),
    (dict(sample_type=3, data_type=4, extend_type=64, offset=0), ("AB", "2D", "NONE")),
    (dict(sample_type=3, data_type=4, extend_type=20), ("AB", "2D", "NONE")),
    (dict(sample_type=2, data_type=10, extend_type=10, complex_type=3), ("RRAM", "3D", "NONE")),
])
def test_block_names(write_file, fields, expected):
    data = directory_file([key_entry(**fields)])
    assert veskread.listContents(write_file(data)) == [expected]


ALL_NAMES = [(1, "SC"), (2, "IFG"), (3, "PH"), (4, "AB"), (5, "TR"), (6, "KM"), (10, "RAM"),
             (11, "EMIS"), (12, "REFL"), (14, "POW"), (15, "LREFL"), (16, "ATR"), (17, "PAS"),
             (18, "TRARI"), (19, "ABARI")]


@pytest.mark.parametrize("code,name", ALL_NAMES)
@pytest.mark.parametrize("deriv,deriv_name", [(0, "NONE"), (1, "1DER"), (2, "2DER"),
                                              (3, "NDER")])
def test_every_named_code(write_file, code, name, deriv, deriv_name):
    entries = [key_entry(sample_type=3, data_type=code, deriv_type=deriv),
               key_entry(sample_type=3, data_type=code + 32, deriv_type=deriv, extend_type=10)]
    assert veskread.listContents(write_file(directory_file(entries))) == [
        (name, "2D", deriv_name), (name + "-CH2", "3D", deriv_name)]


def test_every_key_alike_on_every_call(write_file):
    # Keys are handed out from one store across calls and files: every form,
    # listed between calls on another file, must still come back as itself.
    forms = [(st, code + ch, dims, deriv) for st in (3, 1, 2) for code, _ in ALL_NAMES
             for ch in (0, 32) for dims in (0, 10) for deriv in range(4)]
    everything = write_file(directory_file([
        key_entry(sample_type=st, data_type=dt, extend_type=ext, deriv_type=d)
        for st, dt, ext, d in forms]), "every.vesk")
    names = dict(ALL_NAMES)
    expected = [({1: "S", 2: "R", 3: ""}[st] + names[dt % 32] + ("-CH2" if dt > 32 else ""),
                 "3D" if ext else "2D", ("NONE", "1DER", "2DER", "NDER")[d])
                for st, dt, ext, d in forms]
    other = write_file(directory_file([key_entry(sample_type=1, data_type=36, deriv_type=3)]),
                       "other.vesk")
    assert veskread.listContents(other) == [("SAB-CH2", "2D", "NDER")]
    assert veskread.listContents(everything) == expected
    assert veskread.listContents(other) == [("SAB-CH2", "2D", "NDER")]
    assert veskread.listContents(everything) == expected


@pytest.mark.parametrize("code", [0, 8, 9, 13, 40, 41, 45])
def test_unnamed_codes_are_skipped(write_file, code):
    entries = [key_entry(sample_type=3, data_type=code), key_entry(sample_type=1, data_type=4)]
    assert veskread.listContents(write_file(directory_file(entries))) == [("SAB", "2D", "NONE")]


@pytest.mark.parametrize("code", [20, 25, 31, 32, 52, 100, 127])
@pytest.mark.parametrize("sample_type", [1, 2, 3])
def test_codes_without_a_row_raise_index_error(write_file, code, sample_type):
    entries = [key_entry(sample_type=3, data_type=4),
               key_entry(sample_type=sample_type, data_type=code)]
    with pytest.raises(IndexError, match="(?m)^list index out of range$"):
        veskread.listContents(write_file(directory_file(entries)))


@pytest.mark.parametrize("fields", [
    dict(sample_type=3, data_type=20, param_type=1),   # parameter blocks are never named
    dict(sample_type=0, data_type=32),                 # in none of the four lists
    dict(sample_type=0, data_type=127),
])
def test_unlisted_blocks_never_index(write_file, fields):
    entries = [key_entry(**fields), key_entry(sample_type=3, data_type=4)]
    assert veskread.listContents(write_file(directory_file(entries))) == [AB]


def test_order_spectrum_sample_reference_trace(write_file):
    entries = [
        key_entry(sample_type=0, data_type=7, deriv_type=1),   # trace without a sample type
        key_entry(sample_type=2, data_type=1),                 # RSC
        key_entry(sample_type=1, data_type=1),                 # SSC
        key_entry(sample_type=3, data_type=4),                 # AB
        key_entry(sample_type=2, data_type=7),                 # RTRC, then TRC again
        key_entry(sample_type=3, data_type=5),                 # TR
        key_entry(sample_type=3, data_type=4, param_type=1),   # parameters of AB
    ]
    assert veskread.listContents(write_file(directory_file(entries))) == [
        ("AB", "2D", "NONE"), ("TR", "2D", "NONE"), ("SSC", "2D", "NONE"),
        ("RSC", "2D", "NONE"), ("RTRC", "2D", "NONE"),
        ("TRC", "2D", "1DER"), ("TRC", "2D", "NONE")]


@pytest.mark.parametrize("sample_type,first", [(1, "STRC"), (2, "RTRC"), (3, "TRC")])
def test_trace_blocks_listed_twice(write_file, sample_type, first):
    data = directory_file([key_entry(sample_type=sample_type, data_type=7, extend_type=10)])
    assert veskread.listContents(write_file(data)) == [(first, "3D", "NONE"),
                                                       ("TRC", "3D", "NONE")]


def test_duplicates_are_kept(write_file):
    e = key_entry(sample_type=3, data_type=4)
    assert veskread.listContents(write_file(directory_file([e, e, e]))) == [AB, AB, AB]


def test_only_parameter_blocks(write_file):
    vf = VeskFile()
    for ptype in (1, 2, 3, 4, 6, 10):
        vf.add(param_block({"NPT": 1}), param_type=ptype, sample_type=3, data_type=4)
    assert veskread.listContents(write_file(vf.build())) == []


def test_block_word_high_bits_and_sign_ignored(write_file):
    word = block_word(sample_type=3, data_type=33, deriv_type=2, extend_type=10) | (0x3F << 26)
    data = raw_header(24, 1) + main_entries([(word, 0, 0)])
    assert struct.unpack_from("<i", data, 24)[0] < 0
    assert veskread.listContents(write_file(data)) == [("SC-CH2", "3D", "2DER")]


# -- the directory ------------------------------------------------------------

@pytest.mark.parametrize("count", [0, -1, -2147483648])
def test_empty_or_negative_count(write_file, count):
    # an extendType 64 entry follows that would fail if it were read
    data = raw_header(24, count) + main_entries([(block_word(extend_type=64), 0, 10 ** 6)])
    assert veskread.listContents(write_file(data)) == []


def test_extended_directory_follows_main(write_file):
    main = [key_entry(sample_type=3, data_type=c) for c in (1, 2, 3, 4, 5)]
    ext = [(block_word(sample_type=3, data_type=c), 1, 5000, 77) for c in (6, 10)]
    data = directory_file(main, ext)
    assert veskread.listContents(write_file(data)) == [
        (n, "2D", "NONE") for n in ("SC", "IFG", "PH", "AB", "TR", "KM", "RAM")]


def test_extended_words_are_64_bit(write_file):
    word = block_word(sample_type=1, data_type=4, deriv_type=1) | (1 << 40) | (1 << 63)
    word -= 1 << 64  # as a signed int64
    data = directory_file([], [(word, 0, 0)])
    assert veskread.listContents(write_file(data)) == [("SAB", "2D", "1DER")]


@pytest.mark.parametrize("ext_count", [0, -1, -(2 ** 63)])
def test_extended_directory_empty_or_negative(write_file, ext_count):
    data = directory_file([key_entry(sample_type=3, data_type=4)],
                          [(block_word(sample_type=3, data_type=5), 0, 0)], ext_count=ext_count)
    assert veskread.listContents(write_file(data)) == [AB]


def test_pointer_with_offset_zero_is_not_followed(write_file):
    # Following it would read the header as a directory head and run short.
    pointer = (block_word(sample_type=3, data_type=4, extend_type=64), 0, 0)
    data = raw_header(24, 2) + main_entries([key_entry(sample_type=3, data_type=5), pointer])
    assert veskread.listContents(write_file(data)) == [("TR", "2D", "NONE"), AB]


def test_later_pointer_wins(write_file):
    ext_at = 24 + 12 * 3
    entries = [
        (block_word(extend_type=64), 0, 10 ** 6),          # beyond the file: would fail
        key_entry(sample_type=3, data_type=4),
        (block_word(extend_type=64), 0, ext_at),
    ]
    ext = ext_directory([(block_word(sample_type=3, data_type=5), 0, 0)])
    data = raw_header(24, 3) + main_entries(entries) + ext
    assert veskread.listContents(write_file(data)) == [AB, ("TR", "2D", "NONE")]


def test_pointer_with_offset_zero_after_a_real_one(write_file):
    # the later entry resets the offset to 0, so nothing is followed
    entries = [(block_word(extend_type=64), 0, 10 ** 6), key_entry(sample_type=3, data_type=4),
               (block_word(extend_type=64), 0, 0)]
    data = raw_header(24, 3) + main_entries(entries)
    assert veskread.listContents(write_file(data)) == [AB]


def test_pointers_in_extended_directory_are_not_followed(write_file):
    ext = [(block_word(extend_type=64), 0, 10 ** 9),
           (block_word(sample_type=3, data_type=4), 0, 0)]
    assert veskread.listContents(write_file(directory_file([], ext))) == [AB]


def test_directory_anywhere_in_the_file(write_file):
    entries = main_entries([key_entry(sample_type=3, data_type=4)])
    data = raw_header(100, 1) + b"\xff" * 76 + entries
    assert veskread.listContents(write_file(data)) == [AB]


# -- broken files ----------------------------------------------------------------

def _struct_error(write_file, data, width):
    path = write_file(data)
    with pytest.raises(struct.error) as info:
        veskread.listContents(path)
    assert str(info.value) == "unpack requires a buffer of %d bytes" % width
    assert info.type is veskread.struct_error


@pytest.mark.parametrize("length", range(4, 24))
def test_truncated_header(write_file, length):
    data = raw_header(24, 1)[:length]
    _struct_error(write_file, data, 8 if length < 12 else 4)


@pytest.mark.parametrize("keep", [0, 1, 4, 11, 12, 13, 35])
def test_truncated_main_directory(write_file, keep):
    data = raw_header(24, 3) + main_entries([key_entry(sample_type=3, data_type=4)] * 3)
    _struct_error(write_file, data[:24 + keep], 4)


@pytest.mark.parametrize("cut", [1, 8, 9, 16, 17, 31, 32])
def test_truncated_extended_directory(write_file, cut):
    data = directory_file([key_entry(sample_type=3, data_type=4)],
                          [(block_word(sample_type=3, data_type=5), 0, 0)])
    _struct_error(write_file, data[:-cut], 8)


@pytest.mark.parametrize("count", [2, 1000, 2 ** 31 - 1])
def test_count_beyond_the_file(write_file, count):
    data = raw_header(24, count) + main_entries([key_entry(sample_type=3, data_type=4)])
    _struct_error(write_file, data, 4)


@pytest.mark.parametrize("ext_count", [2, 2 ** 40, 2 ** 63 - 1])
def test_extended_count_beyond_the_file(write_file, ext_count):
    data = directory_file([], [(block_word(sample_type=3, data_type=5), 0, 0)],
                          ext_count=ext_count)
    _struct_error(write_file, data, 8)


@pytest.mark.parametrize("dir_offset", [24 + 10 ** 6, 2 ** 31 - 1])
def test_directory_offset_beyond_the_file(write_file, dir_offset):
    data = raw_header(dir_offset, 1) + main_entries([key_entry(sample_type=3, data_type=4)])
    _struct_error(write_file, data, 4)


def test_extended_offset_beyond_the_file(write_file):
    data = raw_header(24, 1) + main_entries([(block_word(extend_type=64), 0, 2 ** 31 - 1)])
    _struct_error(write_file, data, 8)


@pytest.mark.parametrize("data", [
    raw_header(-1, 1) + main_entries([key_entry(sample_type=3, data_type=4)]),
    raw_header(-2 ** 31, 0),
    raw_header(24, 1) + main_entries([(block_word(extend_type=64), 0, -8)]),
])
def test_negative_offsets_are_refused_like_seek(write_file, data):
    with pytest.raises(OSError) as info:
        veskread.listContents(write_file(data))
    assert info.value.errno == errno.EINVAL
    assert str(info.value) == str(OSError(errno.EINVAL, os.strerror(errno.EINVAL)))


@pytest.mark.parametrize("data", [b"", b"\x0a\x0a\xfe", b"\xfe\xfe\x0a\x0a" + b"\0" * 40,
                                  b"not a vesk file at all"])
def test_non_vesk_file(write_file, data):
    with pytest.raises(ValueError) as info:
        veskread.listContents(write_file(data))
    assert str(info.value) == "Can't process a non-Vesk file"
    assert type(info.value) is ValueError


def test_path_kinds(write_file):
    path = write_file(spectrum_file([1.0]).build())
    assert veskread.listContents(pathlib.Path(path)) == [AB]
    assert veskread.listContents(os.fsencode(path)) == [AB]
    assert veskread.listContents(path=path) == [AB]


def test_blocks_need_not_exist(write_file):
    # listing reads only the directory: lengths and offsets are taken as stored
    entries = [key_entry(offset=-5, size=-1, sample_type=3, data_type=4),
               key_entry(offset=2 ** 31 - 1, size=2 ** 31 - 1, sample_type=1, data_type=4)]
    assert veskread.listContents(write_file(directory_file(entries))) == [
        AB, ("SAB", "2D", "NONE")]


def test_many_calls_keep_descriptors(write_file):
    good = write_file(spectrum_file([1.0, 2.0]).build())
    bad = write_file(raw_header(24, 5))
    for _ in range(200):
        veskread.listContents(good)
        veskread.isVeskFile(good)
        with pytest.raises(struct.error):
            veskread.listContents(bad)


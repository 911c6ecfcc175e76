"""getVeskData on 2D blocks: key checks, block selection, parameter blocks and merging."""
import struct

import numpy as np
import pytest

import veskread
from vesk_writer import (VeskFile, block_word, float32_block, param_block, param_record,
                         spectrum_file)

BASE = {"NPT": 4, "FXV": 10.0, "LXV": 40.0, "MXY": 9.5, "MNY": -1.5}
AB = ("AB", "2D", "NONE")


def one_block_file(write_file, records, values=(1.0, 2.0, 3.0, 4.0)):
    """An AB spectrum whose data parameter block is made of raw `records`."""
    vf = VeskFile()
    vf.add(float32_block(values), data_type=4, sample_type=3)
    vf.add(records, data_type=4, sample_type=3, param_type=1)
    return write_file(vf)


def params_of(write_file, records):
    return veskread.getVeskData(one_block_file(write_file, records), AB).parameters


# -- parameter blocks ---------------------------------------------------------

def test_parameter_types_and_order(write_file):
    block = param_block(list(BASE.items()) + [("DXU", "WN"), ("ZZZ", 7)])
    p = params_of(write_file, block)
    assert p == {**BASE, "DXU": "WN", "ZZZ": 7}
    assert list(p) == ["NPT", "FXV", "LXV", "MXY", "MNY", "DXU", "ZZZ"]
    assert type(p["NPT"]) is int and type(p["FXV"]) is float


@pytest.mark.parametrize("fillers", [0, 12, 40])  # small blocks are searched, large ones indexed
def test_repeated_key_keeps_first_place_and_last_value(write_file, fillers):
    filler = [("Q%03d" % k, k) for k in range(fillers)]
    block = param_block([("DXU", "A")] + list(BASE.items()) + filler + [("DXU", "B"), ("Q000", -1)])
    p = params_of(write_file, block)
    assert list(p) == ["DXU", *BASE, *(k for k, _ in filler)] + ([] if fillers else ["Q000"])
    assert p["DXU"] == "B" and p["Q000"] == -1


@pytest.mark.parametrize("record, key, value", [
    # text cut at its first NUL; the record still spans its declared size
    (b"TXT\0" + struct.pack("<hh", 2, 4) + b"abc\0xyz\0", "TXT", "abc"),
    (b"TXT\0" + struct.pack("<hh", 3, 0), "TXT", ""),
    (b"TXT\0" + struct.pack("<hh", 4, 2) + b"\xb5m\0\0", "TXT", "\xb5m"),
    (b"TXT\0" + struct.pack("<hh", 2, 2) + b"\xc2\xb5m\0", "TXT", "\xb5m"),
    (b"AB\0\0" + struct.pack("<hhi", 0, 2, 5), "AB", 5),
    (b"\0AB\0" + struct.pack("<hhi", 0, 2, 5), "AB", 5),
    (b"\0\0\0\0" + struct.pack("<hhd", 1, 4, 2.5), "", 2.5),
])
def test_record_forms(write_file, record, key, value):
    p = params_of(write_file, record + param_block(BASE))
    assert p[key] == value
    assert list(p)[0] == key


def test_number_size_field_is_ignored(write_file):
    # A type-0 record declaring 4 words still holds 4 value bytes: the next
    # key starts right after them.
    block = b"ONE\0" + struct.pack("<hhi", 0, 4, 11) + param_block(BASE)
    assert params_of(write_file, block)["ONE"] == 11


@pytest.mark.parametrize("code", [5, 7, -1, 100])
def test_unknown_type_code(write_file, code):
    block = param_block(BASE, end=False) + b"BAD\0" + struct.pack("<hh", code, 2) + b"\0" * 8
    with pytest.raises(ValueError) as e:
        veskread.getVeskData(one_block_file(write_file, block + param_block({})), AB)
    assert str(e.value) == "Unexpected value for reading parameter type: %d" % code


def test_key_that_is_not_utf8(write_file):
    block = b"\xffAB\0" + struct.pack("<hhi", 0, 2, 1) + param_block(BASE)
    with pytest.raises(UnicodeDecodeError):
        veskread.getVeskData(one_block_file(write_file, block), AB)


def test_negative_text_size(write_file):
    block = b"TXT\0" + struct.pack("<hh", 2, -3) + param_block(BASE)
    with pytest.raises(ValueError, match="(?m)^read length must be non-negative or -1$"):
        veskread.getVeskData(one_block_file(write_file, block), AB)


@pytest.mark.parametrize("cut, width", [(0, 2), (5, 2), (7, 2), (9, 4), (12, 2)])
def test_block_without_end(write_file, cut, width):
    # The parameter block is the last thing in the file and stops early.
    vf = VeskFile()
    vf.add(float32_block([1.0]), data_type=4, sample_type=3)
    body = param_block({"NPT": 1}, end=False)[:cut]
    vf.add(body, data_type=4, sample_type=3, param_type=1)
    path = write_file(vf.build()[:vf.offset_of(1) + cut])
    with pytest.raises(veskread.struct_error, match="(?m)^unpack requires a buffer of %d bytes$" % width):
        veskread.getVeskData(path, AB)


# -- the key ------------------------------------------------------------------

@pytest.mark.parametrize("key, message", [
    (("AB", "4D", "XX"), "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("XX", "2D", "XX"), "Invalid data block type: XX. Please enter a valid entry from the "
                         "following: REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, "
                         "TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC"),
    (("SC", "2D", "NONE"), None),
    (("ab", "2d", "first"), "Invalid deriv type: FIRST.  Please select from the following: "
                            "1DER, 2DER, NDER or NONE"),
])
def test_key_errors_come_before_file_access(tmp_path, key, message):
    with pytest.raises(ValueError) as e:
        veskread.getVeskData(str(tmp_path / "missing.vesk"), key)
    if message:
        assert str(e.value) == message
    else:
        assert str(e.value).startswith("Invalid data block type: SC. ")


@pytest.mark.parametrize("datablock, exc", [(("AB", "2D"), IndexError), ((1, "2D", "NONE"), AttributeError),
                                            ((b"AB", b"2D", b"NONE"), TypeError)])
def test_malformed_keys(datablock, exc):
    with pytest.raises(exc):
        veskread.getVeskData("unused", datablock)


def test_lower_case_key_and_extra_items(write_file):
    path = write_file(spectrum_file([1.0, 2.0]))
    d = veskread.getVeskData(path, ["ab", "2d", "none", "ignored"])
    assert (d.dataType, d.dimension, d.derivative) == ("AB", "2D", "NONE")


def test_non_vesk_file(write_file):
    path = write_file(b"\xfe\xfe\x0a\x0a" + bytes(40), "x.bin")
    with pytest.raises(ValueError, match="(?m)^Can't process a non-Vesk file$"):
        veskread.getVeskData(path, AB)


def test_isveskfile_is_looked_up_at_call_time(write_file, monkeypatch):
    path = write_file(spectrum_file([1.0]))
    monkeypatch.setattr(veskread, "isVeskFile", lambda p: False)
    with pytest.raises(ValueError, match="non-Vesk"):
        veskread.getVeskData(path, AB)


@pytest.mark.parametrize("path, message", [
    (b"f.vesk", "Argument 'path' has incorrect type (expected str, got bytes)"),
    (type("S", (str,), {})("f.vesk"), "Argument 'path' has incorrect type (expected str, got S)"),
])
def test_path_type(path, message):
    with pytest.raises(TypeError) as e:
        veskread.getVeskData(path, AB)
    assert str(e.value) == message


def test_none_path_fails_at_open():
    with pytest.raises(TypeError, match="NoneType"):
        veskread.getVeskData(None, AB)


# -- block selection ----------------------------------------------------------

def selection_file(write_file, entries):
    """Blocks given as (fields, params-or-values); data blocks hold floats."""
    vf = VeskFile()
    for fields, content in entries:
        payload = float32_block(content) if isinstance(content, list) else param_block(content)
        vf.add(payload, **fields)
    return write_file(vf)


def test_missing_parameter_block(write_file):
    path = selection_file(write_file, [(dict(data_type=4, sample_type=3), [1.0])])
    with pytest.raises(ValueError, match="(?m)^No data block exists in the file for: AB 2D NONE$"):
        veskread.getVeskData(path, ("ab", "2D", "NONE"))


def test_second_channel_and_derivative(write_file):
    path = selection_file(write_file, [
        (dict(data_type=4, sample_type=3), [1.0]),
        (dict(data_type=4, sample_type=3, param_type=1), {**BASE, "NPT": 1}),
        (dict(data_type=36, sample_type=3, deriv_type=1), [2.0]),
        (dict(data_type=36, sample_type=3, deriv_type=1, param_type=1), {**BASE, "NPT": 1}),
    ])
    assert veskread.getVeskData(path, ("AB-CH2", "2D", "1DER")).y.tolist() == [2.0]
    with pytest.raises(ValueError, match="(?m)AB-CH2 2D NONE$"):
        veskread.getVeskData(path, ("AB-CH2", "2D", "NONE"))


def test_last_qualifying_entry_wins_including_extended_directory(write_file):
    vf = VeskFile()
    fields = dict(data_type=5, sample_type=3)
    vf.add(float32_block([1.0]), **fields)
    vf.add(param_block({**BASE, "NPT": 1}), param_type=1, **fields)
    vf.add(float32_block([2.0]), complex_type=2, **fields)  # complexType is not consulted
    vf.add(float32_block([3.0]), extended=True, **fields)
    path = write_file(vf)
    assert veskread.getVeskData(path, ("TR", "2D", "NONE")).y.tolist() == [3.0]


@pytest.mark.parametrize("request_type, data_type, sample, inst_samples, expected", [
    ("SSC", 1, 1, [1], "S1"), ("SSC", 1, 1, [0], "S0"), ("SSC", 1, 1, [2], None),
    ("SSC", 1, 1, [1, 0], "S0"), ("RSC", 1, 2, [0], None), ("RSC", 1, 2, [2], "S2"),
    ("AB", 4, 3, [3], None), ("AB", 4, 3, [0], "S0"), ("AB", 4, 3, [1], None),
])
def test_instrument_and_optics_sample_rules(write_file, request_type, data_type, sample,
                                             inst_samples, expected):
    entries = [(dict(data_type=data_type, sample_type=sample), [1.0]),
               (dict(data_type=data_type, sample_type=sample, param_type=1), {**BASE, "NPT": 1})]
    for st in inst_samples:
        entries.append((dict(param_type=2, sample_type=st), {"INS": "S%d" % st}))
        entries.append((dict(param_type=6, sample_type=st), {"OPT": "S%d" % st}))
    path = selection_file(write_file, entries)
    p = veskread.getVeskData(path, (request_type, "2D", "NONE")).parameters
    assert p.get("INS") == expected
    assert p.get("OPT") == expected


def test_rule_one_shadows_later_rules(write_file):
    # An entry of the requested data type with another paramType is not an
    # instrument block, even with paramType 2.
    path = selection_file(write_file, [
        (dict(data_type=4, sample_type=3), [1.0]),
        (dict(data_type=4, sample_type=3, param_type=1), {**BASE, "NPT": 1}),
        (dict(data_type=0, sample_type=0, param_type=2), {"INS": "generic"}),
        (dict(data_type=4, sample_type=3, param_type=2), {"INS": "shadowed"}),
    ])
    assert veskread.getVeskData(path, AB).parameters["INS"] == "generic"


def test_merge_precedence_and_order(write_file):
    keys = ["K1", "K2", "K3", "K4", "K5", "K6"]
    blocks = [(3, "acq"), (2, "inst"), (6, "opt"), (10, "smp"), (4, "ft")]
    entries = [(dict(data_type=4, sample_type=3), [1.0]),
               (dict(data_type=4, sample_type=3, param_type=1),
                {**BASE, "NPT": 1, **{k: "data" for k in keys}})]
    # Listed in reverse precedence order in the file to show the order is fixed.
    for level, (ptype, name) in reversed(list(enumerate(blocks, start=1))):
        entries.append((dict(param_type=ptype), {k: name for k in keys[level:]}))
    p = veskread.getVeskData(selection_file(write_file, entries), AB).parameters
    assert [p[k] for k in keys] == ["data", "acq", "inst", "opt", "smp", "ft"]
    assert list(p)[:5] == list(BASE)


def test_further_blocks_are_the_last_in_the_file(write_file):
    path = selection_file(write_file, [
        (dict(param_type=3), {"AQM": "first"}),
        (dict(data_type=4, sample_type=3), [1.0]),
        (dict(data_type=4, sample_type=3, param_type=1), {**BASE, "NPT": 1}),
        (dict(data_type=9, sample_type=1, param_type=3), {"AQM": "last"}),
    ])
    assert veskread.getVeskData(path, AB).parameters["AQM"] == "last"


# -- the 2D read ----------------------------------------------------------------

def test_spectrum_reads_back_bit_exactly(write_file):
    rng = np.random.default_rng(1)
    values = rng.standard_normal(1000).astype(np.float32)
    values[3] = np.float32("nan")
    values[4] = -0.0
    params = {"FXV": 7999.5, "LXV": 350.25, "MXY": 123.0, "MNY": -456.0, "DXU": "WN"}
    path = write_file(spectrum_file(values.tolist(), params))
    d = veskread.getVeskData(path, AB)
    assert isinstance(d, veskread.SingleDataReturn)
    assert d.y.dtype == np.float32 and d.y.tobytes() == values.tobytes()
    assert d.x.dtype == np.float64
    np.testing.assert_array_equal(d.x, np.linspace(7999.5, 350.25, 1000))
    assert (d.minY, d.maxY) == (-456.0, 123.0)  # as stored, not from the data
    assert d.description.endswith("\ty data points (.y)\n")


@pytest.mark.parametrize("missing", ["NPT", "FXV", "LXV", "MXY", "MNY"])
def test_missing_axis_key(write_file, missing):
    params = {k: v for k, v in BASE.items() if k != missing}
    path = selection_file(write_file, [(dict(data_type=4, sample_type=3), [1.0] * 4),
                                     (dict(data_type=4, sample_type=3, param_type=1), params)])
    with pytest.raises(KeyError) as e:
        veskread.getVeskData(path, AB)
    assert e.value.args == (missing,)


# Also when the declared values exceed the whole file, as a recording cut
# far short does.
@pytest.mark.parametrize("npt", [10, 100000])
def test_short_data_block_yields_what_is_there(write_file, npt):
    vf = VeskFile()
    vf.add(param_block({**BASE, "NPT": npt}), data_type=4, sample_type=3, param_type=1)
    vf.add(float32_block([1.0, 2.0, 3.0]) + b"\x01\x02", data_type=4, sample_type=3)
    d = veskread.getVeskData(write_file(vf), AB)
    assert d.y.tolist() == [1.0, 2.0, 3.0] and len(d.x) == npt


def test_axis_ends_that_are_not_numbers_fail_in_linspace_first(write_file):
    path = write_file(spectrum_file([1.0], {"NPT": 10 ** 9, "FXV": "abc"}))
    with pytest.raises(TypeError) as info:  # numpy's own, whatever its subclass
        veskread.getVeskData(path, AB)
    assert "NPT" not in str(info.value)


def test_bad_counts_fail_like_numpy(write_file):
    path = write_file(spectrum_file([1.0], {"NPT": -1}))
    with pytest.raises(ValueError, match="Number of samples"):
        veskread.getVeskData(path, AB)
    path = write_file(spectrum_file([1.0], {"NPT": 1.0}), "g.vesk")
    with pytest.raises(TypeError):
        veskread.getVeskData(path, AB)


def test_data_offset_before_file_start(write_file):
    vf = spectrum_file([1.0])
    vf.blocks[0]["offset"] = -8
    with pytest.raises(OSError) as e:
        veskread.getVeskData(write_file(vf), AB)
    assert e.value.errno == 22


def test_files_are_closed_on_every_way_out(write_file, no_fd_leak):
    good = write_file(spectrum_file([1.0, 2.0]))
    bad = write_file(spectrum_file([1.0], {"NPT": -1}))
    for _ in range(20):
        veskread.getVeskData(good, AB)
        with pytest.raises(ValueError):
            veskread.getVeskData(bad, AB)
        with pytest.raises(ValueError):
            veskread.getVeskData(good, ("TR", "2D", "NONE"))


def test_np_is_looked_up_at_call_time(write_file, monkeypatch):
    path = write_file(spectrum_file([1.0, 2.0]))

    class FakeNp:
        float32 = np.float32
        empty = staticmethod(np.empty)

        @staticmethod
        def linspace(a, b, n):
            return "axis"

    monkeypatch.setattr(veskread, "np", FakeNp)
    assert veskread.getVeskData(path, AB).x == "axis"


AXES = [(7999.5, 350.25, 1000), (0.0, 1.0, 7), (1, 9, 5), (-3, 2.5, 2), (5.0, 5.0, 4),
        (1e-300, 3e-300, 3), (1e-310, 2e-310, 3), (1e300, -1e300, 9), (4.0, 8.0, 1),
        (4.0, 8.0, 0), (2**31 - 1, 0.5, 3), (0.1, 0.7, 65536), (float("inf"), 1.0, 3)]


@pytest.mark.parametrize("fxv, lxv, npt", AXES)
def test_axis_is_numpys_linspace(write_file, fxv, lxv, npt):
    path = write_file(spectrum_file([1.0] * max(npt, 1), {"FXV": fxv, "LXV": lxv, "NPT": npt}))
    with np.errstate(all="ignore"):
        want = np.linspace(fxv, lxv, npt)
        x = veskread.getVeskData(path, AB).x
    assert x.dtype == want.dtype and x.tobytes() == want.tobytes()
    assert (x.base is None) == (want.base is None) and x.flags.writeable


def test_patched_linspace_is_called(write_file, monkeypatch):
    path = write_file(spectrum_file([1.0, 2.0]))
    monkeypatch.setattr(np, "linspace", lambda a, b, n: "patched")
    assert veskread.getVeskData(path, AB).x == "patched"

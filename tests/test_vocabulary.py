"""VeskDict and paramDict."""
import pytest

import veskread


def test_vesk_dict_size_and_order():
    d = veskread.VeskDict()
    keys = list(d)
    assert len(d) == 293
    assert len(set(d.values())) == 270
    assert keys[:5] == ["AOZ", "DDZ", "DPF", "NPT", "NPZ"]
    assert keys[-3:] == ["AG2", "OBJ", "VSC"]
    assert keys[165:167] == ["ISP", "IDL"]       # positions 166, 167
    assert keys[171] == "SMD"                    # position 172
    assert keys.index("APF") == 240 and keys.index("AF2") == 234


@pytest.mark.parametrize("key, value", [
    ("AOZ", "Map_Origin_Z"),
    ("LWN", "laser_wavenumber"),
    ("ABP", "absolute_peak_pos_in_laser*2"),
    ("FFT", "maximum_ft_size_in_k's"),
    ("SMD", "modulation_(0=off_1=mod_2=mod-demod_4=old_phase_8=ampl_)"),
    ("MPX", "map_#_pos_x"),
    ("ISP", "interleave_time_res._\u00e6sec"),
    ("IDL", "interleave_trigger_delay_\u00e6sec"),
    ("VSC", "variable_velocity_(hz)"),
])
def test_vesk_dict_values(key, value):
    assert veskread.VeskDict()[key] == value


def test_non_ascii_names():
    d = veskread.VeskDict()
    assert len(d["ISP"]) == 25 and d["ISP"][21] == "\u00e6"
    assert [k for k, v in d.items() if not v.isascii()] == ["ISP", "IDL"]


@pytest.mark.parametrize("value, keys", [
    ("derivative", ["DER", "QS1"]),
    ("map_origin_x", ["AOX", "MOX", "NOX"]),
    ("map_origin_y", ["AOY", "MOY", "NOY"]),
    ("apodization_function", ["AF2", "APF"]),
    ("detector_setting", ["DTC", "DT2"]),
    ("zero_filling_factor", ["ZF2", "ZFF"]),
])
def test_shared_names(value, keys):
    d = veskread.VeskDict()
    assert sorted(k for k, v in d.items() if v == value) == sorted(keys)


def test_vesk_dict_shape_of_entries():
    for key, value in veskread.VeskDict().items():
        assert len(key) == 3 and all(c.isupper() or c.isdigit() for c in key), key
        assert value and " " not in value, key
        if key != "AOZ":
            assert value == value.lower(), key


def test_vesk_dict_fresh_each_call_with_shared_strings():
    a, b = veskread.VeskDict(), veskread.VeskDict()
    assert a == b and a is not b
    for (ka, va), (kb, vb) in zip(a.items(), b.items()):
        assert ka is kb and va is vb
    assert a["DER"] is a["QS1"]
    del a["AOZ"]
    a["NEW"] = "x"
    c = veskread.VeskDict()
    assert len(c) == 293 and "AOZ" in c and "NEW" not in c


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})])
def test_vesk_dict_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        veskread.VeskDict(*args, **kwargs)


def test_vesk_dict_doc():
    assert veskread.VeskDict.__doc__ == \
        "Returns a dictionary for translating parameter keys to lower_case_strings."


def test_param_dict_contents():
    p = veskread.paramDict
    assert type(p) is dict and len(p) == 34
    assert list(p)[:5] == ["SNM", "SFM", "CNM", "EXP", "XPP"]
    assert list(p)[-1] == "ZTX"
    assert p["HFQ"] == "High Frequency Cutofff (FT)"
    assert p["LFQ"] == "Low Frequency Cutoff (FT)"
    assert p["DAT"] == "Date"
    assert p["LWN"] == "Laser Wavenumber"
    assert set(p) <= set(veskread.VeskDict())


def test_param_dict_is_one_object():
    p = veskread.paramDict
    assert veskread.paramDict is p
    p["ZZZ"] = "added"
    try:
        assert veskread.paramDict["ZZZ"] == "added"
    finally:
        del p["ZZZ"]
    assert len(veskread.paramDict) == 34


def test_vesk_labels_from_its_own_module_are_veskreads():
    # vesk labels parameters without importing veskread (and numpy with it)
    from vesk import _native
    labels, names = _native.vocabulary()
    assert list(labels.items()) == list(veskread.paramDict.items())
    assert list(names.items()) == list(veskread.VeskDict().items())

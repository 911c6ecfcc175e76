"""The data-object classes made at import."""
import inspect

import pytest

import veskread
from expected_texts import APPENDED, BASE_TEXT, DOCS

BASE_ARGS = ["dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"]
OWN_PARAMS = {
    "SingleDataReturn": ["y"],
    "ImageDataReturn": ["mapX", "mapY", "spectra"],
    "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"],
    "TimeResolvedDataReturn": ["z", "spectra"],
    "TimeResolvedTRCDataReturn": ["labels", "traces"],
    "MultiRegionDataReturn": ["regions"],
    "MultiRegionTRCDataReturn": ["labels", "regions"],
}
CLASS_ORDER = ["BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
               "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
               "Region", "MultiRegionTRCDataReturn"]


def base_kwds(**over):
    kw = dict(dimension="2D", dataType="AB", deriv="NONE", parameters={"NPT": 3},
              x=[1.0, 2.0, 3.0], minY=-1.0, maxY=2.5)
    kw.update(over)
    return kw


# Python classes with the same parameters, for the wording of argument errors.
_REFERENCE_SOURCE = """
class BaseDataReturn(object):
    def __init__(self, dimension, dataType, deriv, parameters, x, minY, maxY):
        pass

class Region(object):
    def __init__(self, title, mapX, mapY, start_time, spectra):
        pass
"""
for _name, _params in OWN_PARAMS.items():
    _REFERENCE_SOURCE += (
        "\nclass %s(BaseDataReturn):\n    def __init__(self, %s, **kwds):\n"
        "        super().__init__(**kwds)\n" % (_name, ", ".join(_params)))
REFERENCE = {}
exec(_REFERENCE_SOURCE, REFERENCE)


def type_error(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_class_attributes(name):
    cls = getattr(veskread, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "veskread"
    assert cls.__doc__ == DOCS[name]
    assert type(cls) is type
    assert not hasattr(cls, "__slots__")
    init = cls.__dict__["__init__"]
    assert init.__qualname__ == name + ".__init__"
    assert init.__doc__ is None
    assert repr(cls) == "<class 'veskread.%s'>" % name


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_class_bases_and_methods(name):
    cls = getattr(veskread, name)
    own = {k for k in vars(cls) if not k.startswith("__") or k in
           ("__init__", "__str__", "__repr__")}
    if name == "BaseDataReturn":
        assert cls.__bases__ == (object,)
        assert own == {"__init__", "__str__", "__repr__"}
    elif name == "Region":
        assert cls.__bases__ == (object,)
        assert own == {"__init__", "__repr__"}
    else:
        assert cls.__bases__ == (veskread.BaseDataReturn,)
        assert own == {"__init__"}
    for meth in own:
        assert vars(cls)[meth].__qualname__ == "%s.%s" % (name, meth)


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_constructor_signature(name):
    cls = getattr(veskread, name)
    ref = REFERENCE[name]
    assert str(inspect.signature(cls)) == str(inspect.signature(ref))
    assert str(inspect.signature(cls.__init__)) == str(inspect.signature(ref.__init__))


def test_base_positional():
    obj = veskread.BaseDataReturn(*range(7))
    assert [obj.dimension, obj.dataType, obj.derivative, obj.parameters, obj.x, obj.minY,
            obj.maxY] == list(range(7))
    assert not hasattr(obj, "deriv")
    assert obj.description == BASE_TEXT
    assert len(BASE_TEXT) == 262
    assert str(obj) == repr(obj) == BASE_TEXT
    assert list(vars(obj)) == ["dimension", "dataType", "derivative", "parameters", "x", "minY",
                               "maxY", "description"]


@pytest.mark.parametrize("name", list(OWN_PARAMS))
def test_subclass_construction(name):
    cls = getattr(veskread, name)
    own = {p: object() for p in OWN_PARAMS[name]}
    kw = base_kwds()
    obj = cls(**own, **kw)
    for p, v in own.items():
        assert getattr(obj, p) is v  # stored, not copied
    assert obj.derivative == "NONE" and obj.parameters is kw["parameters"]
    assert obj.x is kw["x"]
    assert obj.description == BASE_TEXT + APPENDED[name]
    assert str(obj) == repr(obj) == obj.description
    assert list(vars(obj)) == OWN_PARAMS[name] + [
        "dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"]
    # own parameters positionally too
    obj2 = cls(*own.values(), **kw)
    assert [getattr(obj2, p) for p in own] == list(own.values())


def test_description_endings():
    for name in ("MultiRegionDataReturn", "MultiRegionTRCDataReturn"):
        obj = getattr(veskread, name)(**{p: [] for p in OWN_PARAMS[name]}, **base_kwds())
        assert obj.description.endswith("spectra[row]")
    for name in ("SingleDataReturn", "ImageDataReturn", "TimeResolvedDataReturn"):
        obj = getattr(veskread, name)(**{p: [] for p in OWN_PARAMS[name]}, **base_kwds())
        assert obj.description.endswith("\n")


def _bad_calls(name):
    own = OWN_PARAMS.get(name)
    if name == "BaseDataReturn":
        return [((), {}), (tuple(range(6)), {}), (tuple(range(8)), {}),
                (tuple(range(7)), {"deriv": 1}), ((), dict(base_kwds(), derivative="x")),
                (tuple(range(3)), {"x": 1})]
    if name == "Region":
        return [((), {}), (("t",), {}), (tuple(range(6)), {}), (tuple(range(5)), {"title": 1}),
                (tuple(range(5)), {"extra": 1})]
    ownvals = tuple(range(len(own)))
    return [
        ((), {}),                                   # own parameters missing
        (ownvals, {}),                              # base parameters missing
        (ownvals + tuple(range(7)), {}),            # base values given positionally
        (ownvals, dict(base_kwds(), unknown=1)),    # a keyword nobody takes
        (ownvals, {k: v for k, v in base_kwds().items() if k != "maxY"}),
        (ownvals, {own[0]: 1}),                     # own parameter twice
        (ownvals, dict(base_kwds(), derivative="x")),
    ]


@pytest.mark.parametrize("name,args,kwargs", [
    (n, a, k) for n in CLASS_ORDER for a, k in _bad_calls(n)
])
def test_constructor_errors_match_python(name, args, kwargs):
    expected = type_error(REFERENCE[name], args, kwargs)
    assert type_error(getattr(veskread, name), args, kwargs) == expected


def test_subclass_stores_own_before_base_fails():
    obj = veskread.SingleDataReturn.__new__(veskread.SingleDataReturn)
    with pytest.raises(TypeError):
        obj.__init__(y=5)
    assert obj.y == 5
    assert not hasattr(obj, "description")


def test_region():
    r = veskread.Region("Region 1", [1.0], [2.0], None, [[0.5]])
    assert (r.title, r.mapX, r.mapY, r.start_time, r.spectra) == (
        "Region 1", [1.0], [2.0], None, [[0.5]])
    assert list(vars(r)) == ["title", "mapX", "mapY", "start_time", "spectra"]
    assert repr(r) == str(r) == "Region 1"
    assert not hasattr(r, "description")
    r.title = "renamed"
    assert repr(r) == "renamed"
    r.title = 5
    with pytest.raises(TypeError):
        repr(r)
    with pytest.raises(TypeError):
        str(r)


def test_description_read_at_call_time():
    obj = veskread.SingleDataReturn(y=[1], **base_kwds())
    obj.description = "changed"
    assert str(obj) == repr(obj) == "changed"
    assert "%s" % obj == "changed"
    obj.description = 42
    with pytest.raises(TypeError):
        str(obj)
    with pytest.raises(TypeError):
        repr(obj)


def test_identity_semantics():
    a = veskread.SingleDataReturn(y=1, **base_kwds())
    b = veskread.SingleDataReturn(y=1, **base_kwds())
    assert a != b and a == a
    assert len({a, b, a}) == 2


def test_no_validation():
    import numpy as np

    obj = veskread.ImageDataReturn(mapX=None, mapY="x", spectra=3,
                                   **base_kwds(minY=np.float32(1), maxY=[], x=None))
    assert obj.mapX is None and obj.mapY == "x" and obj.spectra == 3
    assert isinstance(obj.minY, np.float32)


def test_user_subclass_uses_super_chain():
    calls = []

    class Traced(veskread.SingleDataReturn):
        def __init__(self, *a, **k):
            calls.append("Traced")
            super().__init__(*a, **k)

    class Mixin(veskread.BaseDataReturn):
        def __init__(self, **k):
            calls.append("Mixin")
            super().__init__(**k)

    class Diamond(veskread.SingleDataReturn, Mixin):
        pass

    t = Traced([1], **base_kwds())
    assert calls == ["Traced"] and t.y == [1]
    assert t.description == BASE_TEXT + APPENDED["SingleDataReturn"]
    calls.clear()
    d = Diamond(y=2, **base_kwds())
    # SingleDataReturn's parent in Diamond's MRO is Mixin, not BaseDataReturn
    assert calls == ["Mixin"]
    assert d.description == BASE_TEXT + APPENDED["SingleDataReturn"]


def test_methods_bind_and_unbound_call():
    obj = veskread.SingleDataReturn(y=1, **base_kwds())
    assert obj.__str__.__self__ is obj
    assert veskread.BaseDataReturn.__str__(obj) == obj.description
    with pytest.raises(TypeError) as info:
        veskread.BaseDataReturn.__str__()
    ns = {}
    exec("class BaseDataReturn:\n    def __str__(self):\n        pass\n", ns)
    with pytest.raises(TypeError) as ref_info:
        ns["BaseDataReturn"].__str__()
    assert str(info.value) == str(ref_info.value)


# -- the objects getVeskData returns -------------------------------------------

def _as_built_by_call(obj):
    """type(obj)(**arguments) with the arguments obj was made from."""
    own = dict(vars(obj))
    own.pop("description", None)
    if "derivative" in own:
        own["deriv"] = own.pop("derivative")
    return type(obj)(**own)


def _results(kind, write_file):
    from vesk_kinds import KINDS

    vf, key = KINDS[kind]()
    r = veskread.getVeskData(write_file(vf), key)
    return [r] + list(getattr(r, "regions", None) or [])


@pytest.mark.parametrize("kind", ["spectrum", "image map", "image traces", "time-resolved series",
                                  "time-resolved traces", "multiregion map",
                                  "multiregion traces"])
def test_results_are_what_their_class_call_makes(kind, write_file):
    for obj in _results(kind, write_file):
        ref = _as_built_by_call(obj)
        assert list(vars(obj)) == list(vars(ref))
        assert all(v is vars(ref)[k] for k, v in vars(obj).items() if k != "description")
        assert getattr(obj, "description", None) == getattr(ref, "description", None)


def _shadow(cls, seen):
    attr = "title" if cls is veskread.Region else "x"

    def store(self, v):
        seen.append(attr)
        self.__dict__[attr] = v
    return attr, property(lambda self: self.__dict__[attr], store)


def _wrap_init(cls, seen):
    init = cls.__init__

    def traced(self, *a, **k):
        seen.append(cls.__name__)
        init(self, *a, **k)
    return "__init__", traced


def _trace_setattr(cls, seen):
    def setattr_(self, k, v):
        seen.append(k)
        object.__setattr__(self, k, v)
    return "__setattr__", setattr_


@pytest.mark.parametrize("patch", [_shadow, _wrap_init, _trace_setattr])
@pytest.mark.parametrize("on", ["ImageDataReturn", "BaseDataReturn", "Region"])
def test_classes_changed_after_import_are_honoured(patch, on, write_file, monkeypatch):
    seen = []
    cls = getattr(veskread, on)
    monkeypatch.setattr(cls, *patch(cls, seen), raising=False)
    kind = "multiregion map" if on == "Region" else "image map"
    objs = _results(kind, write_file)
    got = list(seen)
    seen.clear()
    for o in objs:
        _as_built_by_call(o)
    assert got and got == seen  # what the class calls run, in their order
    # once undone, results are built as before
    monkeypatch.undo()
    seen.clear()
    objs = _results(kind, write_file)
    assert not seen and [list(vars(o)) for o in objs] == [
        list(vars(_as_built_by_call(o))) for o in objs]


# Keywords in the order a rebound class sees them.
_COMMON = ["dimension", "dataType", "deriv", "x", "minY", "maxY", "parameters"]
CALL_KEYWORDS = {
    "spectrum": ("SingleDataReturn", _COMMON[:4] + ["y"] + _COMMON[4:]),
    "image map": ("ImageDataReturn", _COMMON + ["mapX", "mapY", "spectra"]),
    "image traces": ("ImageTRCDataReturn", _COMMON + ["mapX", "mapY", "labels", "traces"]),
    "time-resolved series": ("TimeResolvedDataReturn", _COMMON + ["z", "spectra"]),
    "time-resolved traces": ("TimeResolvedTRCDataReturn", _COMMON + ["labels", "traces"]),
    "multiregion map": ("MultiRegionDataReturn", _COMMON + ["regions"]),
    "multiregion traces": ("MultiRegionTRCDataReturn", _COMMON + ["labels", "regions"]),
}


@pytest.mark.parametrize("kind", sorted(CALL_KEYWORDS))
def test_rebound_class_is_called(write_file, monkeypatch, kind):
    made = []
    name, keywords = CALL_KEYWORDS[kind]

    class Mine(getattr(veskread, name)):
        def __init__(self, **k):
            made.append(list(k))
            super().__init__(**k)

    monkeypatch.setattr(veskread, name, Mine)
    obj = _results(kind, write_file)[0]
    assert type(obj) is Mine and made == [keywords]

"""The public functions behave like functions written in Python in the module."""
import inspect
import pickle
import pydoc

import pytest

import veskread
from expected_texts import FUNCTION_DOCS

SIGNATURES = {
    "help": "()",
    "listContents": "(path)",
    "isVeskFile": "(path)",
    "decode_string": "(s, encodings=('ascii', 'utf8', 'latin1'))",
    "getVeskData": "(path, datablock)",
    "imghdr_what": "(h)",
    "getVisImages": "(path)",
    "VeskDict": "()",
}

def reference(name, signature):
    """A Python function with the same name and parameters (body never runs)."""
    ns = {}
    exec("def %s%s:\n    raise AssertionError('body ran')\n" % (name, signature), ns)
    return ns[name]


def error_of(fn, args, kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


# Calls that no function of the given signature accepts; each must fail in the
# argument check, so no file is touched.
BAD_CALLS = {
    "()": [((1,), {}), ((), {"x": 1}), ((1, 2), {"y": 3})],
    "(path)": [((), {}), ((1, 2), {}), ((1,), {"path": 2}), ((), {"file": 1}),
               ((1,), {"other": 2}), ((1, 2, 3), {}), ((), {1: 2})],
    "(h)": [((), {}), ((1, 2), {}), ((), {"path": 1})],
    "(path, datablock)": [((), {}), (("p",), {}), ((), {"path": "p"}), ((), {"datablock": 1}),
                          (("p", 1, 2), {}), (("p",), {"path": "q"}),
                          (("p", 1), {"datablock": 2}), (("p", 1), {"extra": 2}),
                          ((), {"path": "p", "datablock": 1, "x": 2})],
    "(s, encodings=('ascii', 'utf8', 'latin1'))": [
        ((), {}), ((b"", (), 1), {}), ((b"",), {"s": b""}), ((), {"encodings": ()}),
        ((b"", ()), {"encodings": ()}), ((b"",), {"errors": "x"})],
}


@pytest.mark.parametrize("name,signature,args,kwargs", [
    (name, sig, a, k) for name, sig in SIGNATURES.items() for a, k in BAD_CALLS[sig]
])
def test_argument_errors_match_python(name, signature, args, kwargs):
    expected = error_of(reference(name, signature), args, kwargs)
    assert error_of(getattr(veskread, name), args, kwargs) == expected


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_attributes(name):
    fn = getattr(veskread, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "veskread"
    assert fn.__doc__ == FUNCTION_DOCS[name]
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert callable(fn)
    assert pickle.loads(pickle.dumps(fn)) is fn


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_help_text_shows_signature_and_doc(name):
    text = pydoc.render_doc(getattr(veskread, name), renderer=pydoc.plaintext)
    assert name + SIGNATURES[name] in text
    first_doc_line = FUNCTION_DOCS[name].strip().splitlines()[0].strip()
    assert first_doc_line in text


def test_module_help_lists_every_function():
    text = pydoc.render_doc(veskread, renderer=pydoc.plaintext)
    functions = text[text.index("FUNCTIONS"):text.index("DATA")]
    for name, sig in SIGNATURES.items():
        assert "    " + name + sig + "\n" in functions


def test_signature_parameters():
    params = inspect.signature(veskread.decode_string).parameters
    assert list(params) == ["s", "encodings"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    assert params["encodings"].default == ("ascii", "utf8", "latin1")


def test_decode_string_defaults_identity():
    d = veskread.decode_string.__defaults__
    assert d == (("ascii", "utf8", "latin1"),)
    assert type(d) is tuple and type(d[0]) is tuple
    assert veskread.decode_string.__defaults__ is d
    assert veskread.decode_string.__defaults__[0] is d[0]


@pytest.mark.parametrize("name", [n for n in SIGNATURES if n != "decode_string"])
def test_no_defaults(name):
    assert getattr(veskread, name).__defaults__ is None


def test_defaults_can_be_replaced(monkeypatch):
    monkeypatch.setattr(veskread.decode_string, "__defaults__", (["ascii"],))
    assert veskread.decode_string(b"\xb5m") == "m"
    monkeypatch.undo()
    assert veskread.decode_string(b"\xb5m") == "\xb5m"


def test_keyword_arguments_reach_the_body(write_file):
    assert veskread.isVeskFile(path=write_file(b"\x0a\x0a\xfe\xfe")) is True
    assert veskread.decode_string(encodings=["latin1"], s=b"\xe9") == "\xe9"


class Holder:
    is_vesk = veskread.isVeskFile
    dec = veskread.decode_string
    show = veskread.help


def test_binds_as_method():
    h = Holder()
    bound = h.dec
    assert bound.__self__ is h
    assert bound.__func__ is veskread.decode_string
    assert Holder.dec is veskread.decode_string
    assert veskread.decode_string.__get__(None, Holder) is veskread.decode_string
    # the instance becomes `s`
    with pytest.raises(AttributeError, match="'Holder' object has no attribute 'decode'"):
        h.dec()
    ref = reference("help", "()")
    assert error_of(h.show, (), {}) == error_of(ref.__get__(h), (), {})


def test_typed_path():
    for bad in (b"file.vesk", bytearray(b"x"), 1, type("S", (str,), {})("p")):
        for fn in (veskread.getVeskData, veskread.getVisImages):
            args = (bad, ("AB", "2D", "NONE")) if fn is veskread.getVeskData else (bad,)
            with pytest.raises(TypeError) as info:
                fn(*args)
            assert str(info.value) == (
                "Argument 'path' has incorrect type (expected str, got %s)" % type(bad).__name__)


def test_repr():
    r = repr(veskread.listContents)
    assert r.startswith("<function listContents at 0x")


def test_runaway_recursion_raises():
    # s.decode is decode_string again, bound to s: the recursion a Python
    # function would stop with RecursionError must not overflow the C stack
    class Loop:
        decode = veskread.decode_string

    with pytest.raises(RecursionError):
        Loop().decode()

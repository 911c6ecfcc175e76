"""decode_string: strict decoding with each encoding in turn, then ASCII ignoring."""
import pytest

import veskread


@pytest.mark.parametrize("data,expected", [
    (b"abc", "abc"),
    (b"", ""),
    (b"\xc2\xb5m", "\u00b5m"),        # UTF-8 after ASCII fails
    (b"\xb5m", "\u00b5m"),            # Latin-1 after ASCII and UTF-8 fail
    (b"\xe2\x82\xac", "\u20ac"),
    (b"\xff\xfe", "\u00ff\u00fe"),
    (b"a\x00b", "a\x00b"),            # NULs are the caller's business
    (bytearray(b"xy"), "xy"),
    (memoryview(b"\xc3\xa9").tobytes(), "\u00e9"),
])
def test_default_encodings(data, expected):
    assert veskread.decode_string(data) == expected
    assert type(veskread.decode_string(data)) is str


@pytest.mark.parametrize("data,encodings,expected", [
    (b"\xb5m", ["ascii"], "m"),
    (b"abc", [], "abc"),
    (b"a\xffb\x80c", (), "abc"),
    (b"\xb5m", ("utf8", "latin1"), "\u00b5m"),
    (b"\xc2\xb5", ("latin1", "utf8"), "\u00c2\u00b5"),  # first success wins
    (b"\xb5", iter(["ascii", "cp1252"]), "\u00b5"),
    (b"\x81", ["utf8", "cp1252", "ascii"], ""),           # cp1252 leaves 0x81 undefined
    (b"\xff\xfe\x41\x00", ["utf-16"], "A"),
])
def test_given_encodings(data, encodings, expected):
    assert veskread.decode_string(data, encodings) == expected


def test_encodings_is_any_iterable_and_stops_at_first_success():
    tried = []

    def gen():
        for e in ("ascii", "utf8", "no-such-codec"):
            tried.append(e)
            yield e

    assert veskread.decode_string(b"\xc2\xb5", gen()) == "\u00b5"
    assert tried == ["ascii", "utf8"]


@pytest.mark.parametrize("data,encodings,exc", [
    (b"\xb5", ["ascii", "no-such-codec"], LookupError),
    (b"abc", ["no-such-codec"], LookupError),      # fails even before a decode error
    ("text", ("ascii",), AttributeError),
    (None, ("ascii",), AttributeError),
    (b"abc", [1], TypeError),
    (b"abc", 5, TypeError),                        # not iterable
])
def test_errors_propagate(data, encodings, exc):
    with pytest.raises(exc):
        veskread.decode_string(data, encodings)


def test_str_with_default_encodings():
    with pytest.raises(AttributeError):
        veskread.decode_string("abc")


def test_error_from_iterator_propagates():
    def broken():
        yield "ascii"
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        veskread.decode_string(b"\xb5", broken())


def test_uses_the_objects_decode():
    class Custom:
        def __init__(self):
            self.calls = []

        def decode(self, *args):
            self.calls.append(args)
            if args == ("ascii", "ignore"):
                return "fallback"
            if args[0] != "latin1":
                raise UnicodeDecodeError(args[0], b"x", 0, 1, "no")
            return "ok"

    c = Custom()
    assert veskread.decode_string(c) == "ok"
    assert c.calls == [("ascii",), ("utf8",), ("latin1",)]
    c = Custom()
    assert veskread.decode_string(c, ["utf8", "ascii"]) == "fallback"
    assert c.calls == [("utf8",), ("ascii",), ("ascii", "ignore")]


def test_fallback_errors_are_not_caught():
    class Stubborn:
        def decode(self, *args):
            raise UnicodeDecodeError("ascii", b"x", 0, 1, "never")

    with pytest.raises(UnicodeDecodeError, match="never"):
        veskread.decode_string(Stubborn(), ["ascii"])

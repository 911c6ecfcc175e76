"""The core's imitation of interpreter and numpy operations, against the real ones.

A native program (built with the development tree) prints what the core's
rules give for a grid of operations; each line is evaluated here by the
interpreter itself and the two must agree on the result or on the exception
and its text.
"""
import io
import os
import subprocess
import sys

import numpy as np
import pytest

import veskread

PROGRAM = os.path.join(os.path.dirname(veskread.__file__), "interpreter_rules_cases")

# How the module shows each kind of core error.
EXCEPTION_OF_KIND = {
    "WrongType": TypeError,
    "IndexOutOfRange": IndexError,
    "DivisionByZero": ZeroDivisionError,
    "OffsetOverflow": ValueError,
    "Value": ValueError,
}


def core_cases():
    if not os.path.exists(PROGRAM):
        return []
    out = subprocess.run([PROGRAM], check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines()]


def interpreter_outcome(expression):
    f = io.BufferedReader(io.BytesIO(b""))
    scope = {
        "np": np,
        "SEEK": f.seek,
        "READ": f.read,
    }
    # An empty text repeats to nothing, so a huge count costs no memory;
    # every message about text is the same for '' as for 's'.
    try:
        result = eval(expression.replace("'s'", "''"), scope)
    except Exception as e:  # the outcome under test
        return type(e), str(e)
    return type(result), result


@pytest.mark.skipif(not os.path.exists(PROGRAM), reason="needs the development build")
@pytest.mark.parametrize("expression,core", core_cases())
def test_core_rules_match_the_interpreter(expression, core):
    want_type, want = interpreter_outcome(expression)
    status, kind, *rest = core.split(" ", 2)
    if status == "error":
        if expression.endswith("% 0") and sys.version_info < (3, 11):
            # Older interpreters say "integer division or modulo by zero";
            # the module keeps one text on every version.
            want = "integer modulo by zero"
        assert (EXCEPTION_OF_KIND.get(kind), rest[0]) == (want_type, want)
    elif kind == "str":
        assert want_type is str
    elif kind == "bool":
        assert want_type is bool and int(want) == int(rest[0])
    else:
        assert want_type.__name__ == kind
        assert float(rest[0]) == want or (rest[0] == "nan" and want != want)

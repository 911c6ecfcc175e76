"""The module object: namespace, lifecycle, help and the failure of imports."""
import builtins
import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import veskread
from expected_texts import HELP_LINES

PUBLIC_NAMES = [
    "warnings", "dataclass", "unpack", "struct_error", "np",
    "BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
    "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region",
    "MultiRegionTRCDataReturn",
    "help", "listContents", "isVeskFile", "decode_string", "getVeskData", "imghdr_what",
    "getVisImages", "paramDict", "VeskDict",
]


def run_python(code, **kw):
    """Runs code in a fresh interpreter that finds the same veskread; returns stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=120, **kw)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_namespace_order():
    names = list(vars(veskread))
    dunders = [n for n in names if n.startswith("__")]
    assert [n for n in names if not n.startswith("__")] == PUBLIC_NAMES
    # standard attributes come first, before anything the module binds
    assert names[: len(dunders)] == dunders
    for attr in ("__name__", "__file__", "__loader__", "__package__", "__spec__", "__builtins__"):
        assert attr in dunders


def test_standard_attributes():
    assert veskread.__name__ == "veskread"
    assert veskread.__doc__ is None
    assert veskread.__builtins__ is builtins
    assert veskread.__spec__.name == "veskread"
    assert veskread.__file__ == veskread.__spec__.origin
    assert veskread.__loader__ is veskread.__spec__.loader
    assert not hasattr(veskread, "__all__")


def test_bound_modules_and_imports():
    import dataclasses
    import struct
    import warnings

    import numpy

    assert veskread.warnings is warnings
    assert veskread.dataclass is dataclasses.dataclass
    assert veskread.unpack is struct.unpack
    assert veskread.struct_error is struct.error
    assert veskread.np is numpy


@pytest.mark.parametrize("name", [
    "readInt", "readShort", "readInt64", "readFloat", "readDouble",
    "_read_directory", "_decode_blockType", "translate_block", "getParams",
])
def test_internal_names_are_not_reachable(name):
    with pytest.raises(AttributeError):
        getattr(veskread, name)


def test_help_prints_its_lines(capsys):
    assert veskread.help() is None
    out = capsys.readouterr()
    assert out.out == "\n".join(HELP_LINES) + "\n"
    assert out.err == ""


def test_help_uses_print_captured_at_import(capsys, monkeypatch):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
    veskread.help()
    assert capsys.readouterr().out.startswith(HELP_LINES[0] + "\n")


def test_help_lets_print_errors_through(monkeypatch):
    import io

    class FailAfterTwo(io.StringIO):
        calls = 0

        def write(self, s):
            FailAfterTwo.calls += 1
            if FailAfterTwo.calls > 4:  # two lines: text and newline each
                raise OSError("closed")
            return super().write(s)

    sink = FailAfterTwo()
    monkeypatch.setattr(sys, "stdout", sink)
    with pytest.raises(OSError, match="closed"):
        veskread.help()
    assert sink.getvalue() == HELP_LINES[0] + "\n" + HELP_LINES[1] + "\n"


def test_reimport_gives_the_same_object():
    import veskread as again

    assert again is veskread
    assert importlib.import_module("veskread") is veskread


def test_reload_keeps_object_and_namespace():
    sentinel = object()
    veskread.np_extra_marker = sentinel
    try:
        assert importlib.reload(veskread) is veskread
        assert veskread.np_extra_marker is sentinel
    finally:
        del veskread.np_extra_marker


def test_import_after_removal_from_sys_modules():
    out = run_python("""
        import sys
        import veskread
        first = veskread
        veskread.paramDict['marker'] = 1
        fn = veskread.listContents
        del sys.modules['veskread']
        import veskread
        print(veskread is first, veskread.paramDict.get('marker'), veskread.listContents is fn)
    """)
    assert out.split() == ["True", "1", "True"]


def test_star_import():
    out = run_python("""
        import builtins
        ns = {}
        exec('from veskread import *', ns)
        import veskread
        names = sorted(k for k in ns if k != '__builtins__')
        print(' '.join(names))
        print(ns['help'] is veskread.help, ns['help'] is not builtins.help)
    """)
    names, flags = out.splitlines()
    assert names.split() == sorted(PUBLIC_NAMES)
    assert flags.split() == ["True", "True"]


def test_import_without_numpy_fails_then_succeeds():
    out = run_python("""
        import sys
        sys.modules['numpy'] = None
        try:
            import veskread
        except ModuleNotFoundError as e:
            print('MNF', 'veskread' in sys.modules)
        else:
            print('imported')
        del sys.modules['numpy']
        import builtins
        shown = builtins.print
        builtins.print = lambda *a, **k: shown('retried:', *a, **k)
        import veskread
        builtins.print = shown
        print(type(veskread.np).__name__, veskread.np.__name__, callable(veskread.listContents))
        print(' '.join(k for k in vars(veskread) if not k.startswith('__')))
        veskread.help()
    """)
    lines = out.splitlines()
    assert lines[0] == "MNF False"
    assert lines[1] == "module numpy True"
    assert lines[2].split() == PUBLIC_NAMES
    # The retry captured the builtins of its own time.
    assert lines[3].startswith("retried: ")


def test_loaded_under_another_name_is_also_veskread():
    out = run_python("""
        import importlib.util, sys
        origin = importlib.util.find_spec('veskread').origin
        spec = importlib.util.spec_from_file_location('elsewhere.veskread', origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        print(sys.modules.get('veskread') is m)
    """)
    assert out.split() == ["True"]


def test_failed_import_creates_nothing():
    out = run_python("""
        import gc, sys
        sys.modules['numpy'] = None
        try:
            import veskread
        except ModuleNotFoundError:
            pass
        print(sum(1 for o in gc.get_objects()
                  if isinstance(o, type) and o.__module__ == 'veskread'))
    """)
    assert out.split() == ["0"]


def _subinterp_runner():
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
        return "import _testcapi; run = _testcapi.run_in_subinterp"
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        return None
    return ("import _xxsubinterpreters as _x\n"
            "def run(code):\n"
            "    try:\n"
            "        i = _x.create(isolated=False)\n"
            "    except TypeError:\n"
            "        i = _x.create()\n"
            "    _x.run_string(i, code)\n")


def test_second_interpreter_is_refused():
    runner = _subinterp_runner()
    if runner is None:
        pytest.skip("this interpreter offers no way to start a subinterpreter")
    child = (
        "import os\n"
        "try:\n"
        "    import veskread\n"
        "    msg = 'imported'\n"
        "except ImportError as e:\n"
        "    msg = 'ImportError: ' + str(e)\n"
        "os.write(%d, msg.encode())\n"
    )
    out = run_python(runner + "\n" + textwrap.dedent("""
        import os, veskread
        r, w = os.pipe()
        run(CHILD % w)
        run(CHILD % w)
        os.close(w)
        print(os.read(r, 4096).decode())
        import veskread as again
        print(again is veskread)
    """).replace("CHILD", repr(child)))
    msg = ("ImportError: Interpreter change detected - this module can only be loaded into one "
           "interpreter per process.")
    assert out.splitlines() == [msg + msg, "True"]


def test_module_names_are_looked_up_at_call_time(monkeypatch, tmp_path):
    path = str(tmp_path / "x")
    with open(path, "wb") as f:
        f.write(b"not a vesk file")
    monkeypatch.setattr(veskread, "isVeskFile", lambda p: False)
    with pytest.raises(ValueError, match="^Can't process a non-Vesk file$"):
        veskread.listContents(path)


def test_open_is_captured_at_import(monkeypatch, write_file):
    import vesk_writer

    path = write_file(vesk_writer.MAGIC)

    def refuse(*a, **k):
        raise AssertionError("builtins.open used after import")

    monkeypatch.setattr(builtins, "open", refuse)
    assert veskread.isVeskFile(path) is True


def test_second_module_object_is_refused():
    out = run_python("""
        import importlib.util, sys
        spec = importlib.util.find_spec('veskread')
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        print(first is not second)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        spec.loader.exec_module(first)  # the initialised object: nothing happens
        import veskread
        print(veskread is first, sys.modules['veskread'] is first, hasattr(second, 'np'))
        print(importlib.util.module_from_spec(spec) is first)
    """)
    assert out.splitlines() == [
        "True",
        "Module 'veskread' has already been imported. Re-initialisation is not supported.",
        "True True False",
        "True",
    ]

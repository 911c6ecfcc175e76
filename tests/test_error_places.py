"""Descriptors the caller owns, and errors that say where in the file they arose."""
import io
import os
import subprocess
import sys
import traceback

import numpy as np
import pytest

import veskread
from vesk_writer import VeskFile, float32_block, param_block, spectrum_file
from writer_images import BMP, add_image_block, image_block, picture

KEY = ("AB", "2D", "NONE")

# The functions whose path may be a descriptor (the others take only str).
CALLS = {
    "isVeskFile": lambda p: veskread.isVeskFile(p),
    "listContents": lambda p: veskread.listContents(p),
}


@pytest.fixture
def sample(write_file):
    vf = spectrum_file([1.0, 2.0, 3.0])
    payload, _ = image_block([{"images": [picture("Overview", BMP)]}])
    add_image_block(vf, payload + b"\0" * (-len(payload) % 4))
    return write_file(vf.build())


@pytest.mark.parametrize("number", [int, np.int64])
@pytest.mark.parametrize("name", sorted(CALLS))
def test_descriptor_is_read_and_left_open(sample, name, number):
    call = CALLS[name]
    fd = os.open(sample, os.O_RDONLY)
    try:
        os.lseek(fd, 7, os.SEEK_SET)
        assert call(number(fd)) == call(sample)
        # Still open, at the caller's position.
        assert os.lseek(fd, 0, os.SEEK_CUR) == 7
    finally:
        os.close(fd)


def test_fileno_of_an_open_file_stays_usable(sample):
    with open(sample, "rb") as f:
        assert veskread.listContents(f.fileno()) == [KEY]
        assert f.read(4) == b"\x0a\x0a\xfe\xfe"


def test_standard_output_survives_a_descriptor_it_cannot_read():
    code = (
        "import veskread\n"
        "try:\n"
        "    veskread.isVeskFile(1)\n"
        "except OSError:\n"
        "    pass\n"
        "print('still open', flush=True)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "still open\n"


def _pipe_holding(data):
    r, w = os.pipe()
    os.write(w, data)
    os.close(w)
    return r


@pytest.mark.parametrize("head, expected", [(b"\x0a\x0a\xfe\xfe", True),
                                           (b"\xfe\xfe\x0a\x0a", False), (b"\x0a\x0a", False)])
def test_pipe_is_read_in_order(head, expected):
    r = _pipe_holding(head)
    try:
        assert veskread.isVeskFile(r) is expected
    finally:
        os.close(r)


def test_pipe_has_no_directory_to_seek_to(sample):
    with open(sample, "rb") as f:
        r = _pipe_holding(f.read())
    try:
        with pytest.raises(io.UnsupportedOperation) as info:
            veskread.listContents(r)
        assert str(info.value) == "File or stream is not seekable."
    finally:
        os.close(r)


def truncated_spectrum(write_file):
    return write_file(spectrum_file([1.0, 2.0, 3.0]).build()[:-20])


def spectrum_without_npt(write_file):
    vf = VeskFile()
    vf.add(float32_block([1.0, 2.0]), data_type=4, sample_type=3)
    vf.add(param_block({"FXV": 1.0}), data_type=4, sample_type=3, param_type=1)
    return write_file(vf.build())


def truncated_images(write_file):
    vf = spectrum_file([1.0, 2.0, 3.0])
    payload, _ = image_block([{"images": [picture("Overview", BMP)]}])
    add_image_block(vf, payload + b"\0" * (-len(payload) % 4))
    return write_file(vf.build()[:-len(payload) + 10])


def get_data(path):
    return veskread.getVeskData(path, KEY)


@pytest.mark.parametrize("make, call, exc, message, note", [
    (truncated_spectrum, get_data, veskread.struct_error, "unpack requires a buffer of 2 bytes",
     "while reading file {path!r}, block ('AB', '2D', 'NONE'), at byte offset 124"),
    (spectrum_without_npt, get_data, KeyError, "'NPT'",
     "while reading file {path!r}, block ('AB', '2D', 'NONE')"),
    (truncated_images, veskread.getVisImages, veskread.struct_error,
     "unpack requires a buffer of 2 bytes",
     "while reading file {path!r}, block visible images, at byte offset 168"),
])
def test_error_keeps_its_message_and_gains_a_note(write_file, make, call, exc, message, note):
    path = make(write_file)
    note = note.format(path=path)
    with pytest.raises(exc) as info:
        call(path)
    assert str(info.value) == message
    assert info.value.__notes__ == [note]
    if sys.version_info >= (3, 11):
        shown = "".join(traceback.format_exception(info.value))
        assert shown.rstrip().endswith(note)


@pytest.mark.parametrize("number", [int, np.int64])
def test_descriptor_named_in_note(write_file, number):
    path = write_file(spectrum_file([1.0, 2.0, 3.0]).build()[:30])
    fd = os.open(path, os.O_RDONLY)
    try:
        with pytest.raises(veskread.struct_error) as info:
            veskread.listContents(number(fd))
    finally:
        os.close(fd)
    assert info.value.__notes__ == [
        "while reading file descriptor %d, block directory, at byte offset 28" % fd]


@pytest.mark.parametrize("call", [
    lambda p: veskread.listContents(p + ".missing"),
    lambda p: veskread.getVeskData(p, ("XX", "2D", "NONE")),
])
def test_no_note_before_the_file_is_read(sample, call):
    with pytest.raises(Exception) as info:
        call(sample)
    assert not hasattr(info.value, "__notes__")

"""Writes the seed corpora of the fuzz targets with the test writer.

Usage: python fuzz/make_corpus.py   (writes fuzz/corpus/<target>/)
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from vesk_writer import (block_word, directory_file, param_block, param_record,  # noqa: E402
                         raw_header, main_entries, spectrum_file)


def directory_seeds():
    yield "spectrum", spectrum_file([1.0, 2.0, 3.0],
                                    extra_params=[(2, {"INS": "x"}), (3, {"AQM": "SD"})]).build()
    yield "extended", directory_file(
        [(block_word(sample_type=3, data_type=4), 1, 0)],
        [(block_word(sample_type=1, data_type=34, extend_type=10), 1, 0, 0)])
    yield "trace_and_ch2", directory_file(
        [(block_word(sample_type=2, data_type=7), 1, 0),
         (block_word(sample_type=3, data_type=39, deriv_type=3), 1, 0),
         (block_word(sample_type=3, data_type=20), 1, 0)])
    yield "negative_count", raw_header(24, -1)
    yield "pointer_offset_zero", raw_header(24, 1) + main_entries(
        [(block_word(sample_type=3, data_type=4, extend_type=64), 0, 0)])
    with open(os.path.join(HERE, os.pardir, "samples", "sample.vesk"), "rb") as f:
        yield "sample", f.read()


def param_seeds():
    yield "numbers", b"\0" + param_block({"NPT": 1024, "FXV": 4000.0})
    yield "texts", b"\0" + param_block([("DXU", "WN"), ("SNM", "caf\u00e9"),
                                        param_record("T3", "abc", type_code=3),
                                        param_record("T4", "x", type_code=4, size=0)])
    yield "offset", b"\x05" + b"\xff" * 5 + param_block({"NPT": 1})
    yield "unknown_type", b"\0" + param_record("BAD", b"\0\0\0\0", type_code=7)
    yield "negative_size", b"\0" + b"TXT\0" + struct.pack("<hh", 2, -3) + b"abcdef"
    yield "repeated", b"\0" + param_block([("NPT", 1), ("FXV", 2.0), ("NPT", 3)])
    yield "no_end", b"\0" + param_block({"NPT": 1}, end=False)


def data_block_seeds():
    from test_fuzz_extract import seed_files
    for name, data in seed_files():
        yield name.replace(" ", "_").replace("+", "_"), data


def main():
    for target, seeds in (("directory", directory_seeds()), ("param_block", param_seeds()),
                          ("data_block", data_block_seeds())):
        out = os.path.join(HERE, "corpus", target)
        os.makedirs(out, exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

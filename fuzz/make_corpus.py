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


def whole_file_seeds():
    """Files of every kind the whole-file targets read, small enough to mutate fast."""
    from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_INT, TYPE_TEXT, annotation_block, file_3d,
                           store_block, stored_block, table_subblock)
    from writer_images import BMP, JPEG, image_block, picture, add_image_block
    yield from data_block_seeds()
    yield "spectrum_1der", spectrum_file([1.0, 2.0], deriv_type=1).build()
    yield "spectrum_ch2", spectrum_file([1.0, 2.0, 3.0], data_type=4 + 32).build()
    geometry = {"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 2, "NPY": 2}
    planes = [stored_block([float(k)] * 4, time=k) for k in range(3)]
    yield "image_map_planes", file_3d(store_block(planes, block_size=16),
                                      {**BASE_3D, **geometry, "NPT": 3}).build()
    deriv = {**geometry, "NPX": 0}
    spectra = [stored_block([1.0, 2.0, 3.0, 4.0], time=0.5) for _ in range(4)]
    yield "image_map_underived_geometry", file_3d(
        store_block(spectra, block_size=16), {**BASE_3D, **deriv}, deriv_type=1,
        original_params={**BASE_3D, **geometry}).build()
    traces = [stored_block([1.0, 2.0, 3.0, 4.0], name="T%d" % k) for k in range(2)]
    yield "trace_series", file_3d(store_block(traces, block_size=16), BASE_3D,
                                  data_type=7).build()
    columns = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT),
               ("AryNY", TYPE_INT), ("AryType", TYPE_INT), ("Fileindex", TYPE_INT),
               ("X", TYPE_FLOAT), ("Y", TYPE_TEXT)]
    rows = [(g, 0, 0, 0, 0, i, float(i), b"%d" % i) for i, g in enumerate((1, 1, 2, 3))]
    anno = annotation_block([table_subblock(columns, rows, text_len=8), [("INF", 1)]])
    yield "multiregion_free_lists", file_3d(store_block(spectra, block_size=16), BASE_3D,
                                            anno=anno).build()
    vf = spectrum_file([1.0])
    payload, _ = image_block([{"images": [picture("a", JPEG)]},
                              {"images": [picture("b", BMP, type_=258)]}])
    add_image_block(vf, payload)
    yield "images_two_directories", vf.build()


def store_table_seeds():
    from writer_3d import store_block, stored_block
    blocks = [stored_block([1.0, 2.0]) for _ in range(4)]
    yield "runs_and_gap", b"\0" + store_block(blocks, entries=[(0, 1), (-1, 8), (2, 3)],
                                               block_size=8)
    yield "repeated_numbers", b"\x03" + b"pad" + store_block(
        blocks, entries=[(2, 3), (0, 2)], block_size=8)
    yield "no_info", b"\0" + store_block(blocks[:2], block_size=8, info_size=0)


def annotation_table_seeds():
    from writer_3d import TYPE_FLOAT, TYPE_INT, TYPE_TEXT, annotation_block, table_subblock
    columns = [("Group", TYPE_INT), ("X", TYPE_FLOAT), ("Label", TYPE_TEXT), ("Odd", 7)]
    rows = [(1, 0.5, "a", 0), (2, 1.5, "bb", 0)]
    yield "table", b"\0" + annotation_block([table_subblock(columns, rows)])
    yield "two_tables", b"\x02" + b"xy" + annotation_block(
        [table_subblock(columns[:2], rows),
         table_subblock(columns[1:3], [r[1:3] for r in rows])])


def main():
    whole = list(whole_file_seeds())
    for target, seeds in (("directory", directory_seeds()), ("param_block", param_seeds()),
                          ("data_block", data_block_seeds()), ("store_table", store_table_seeds()),
                          ("annotation_table", annotation_table_seeds()),
                          ("selection", whole), ("read_2d", whole), ("block_values", whole),
                          ("multiregion", whole), ("visible_images", whole), ("outline", whole)):
        out = os.path.join(HERE, "corpus", target)
        os.makedirs(out, exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

"""Test files with one 3D or 2D block of every kind, for the `vesk` tests.

`KINDS[kind]` builds (VeskFile writer, key) for a block of that kind.
"""
from vesk_writer import spectrum_file
from writer_3d import (BASE_3D, TYPE_FLOAT, TYPE_INT, annotation_block, file_3d, stored_block,
                       store_block, table_subblock)

NPT = 4
MAP = {"AOX": 10.0, "AOY": -2.0, "DDX": 2.5, "DDY": 0.5, "NPX": 3, "NPY": 2, "DXU": "WN"}
COLS = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
        ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT), ("Y", TYPE_FLOAT)]


def _values(k, npt=NPT):
    return [k * 10.0 + p for p in range(npt)]


def _spectra(n, **kw):
    return store_block([stored_block(_values(k), time=k * 1.5, **kw) for k in range(n)],
                       block_size=4 * NPT)


def _traces(names, npt=NPT):
    return store_block([stored_block(_values(k, npt), name=n) for k, n in enumerate(names)],
                       block_size=4 * npt)


def _anno():
    rows = [(1, 0, 2, 1, 0, 1, 0.0, 0.0), (1, 0, 0, 0, 0, 2, 1.0, 0.0),
            (2, 0, 0, 0, 0, 3, 5.0, 6.0)]
    return annotation_block([table_subblock(COLS, rows)])


def spectrum():
    return spectrum_file([1.0, 2.0, 3.0, 4.0, 5.0], {"DXU": "WN", "DAT": "07/12/2026",
                                                    "TIM": "21:38:08.250 (GMT+1)"}), ("AB", "2D", "NONE")


def image_map():
    return file_3d(_spectra(6), {**BASE_3D, **MAP}), ("AB", "3D", "NONE")


def image_traces():
    p = {**BASE_3D, **MAP, "NPT": 6}
    return file_3d(_traces(["a", "b"], npt=6), p, data_type=7), ("TRC", "3D", "NONE")


def time_series():
    return file_3d(_spectra(3), {**BASE_3D, "DXU": "WN"}), ("AB", "3D", "NONE")


def time_traces():
    return file_3d(_traces(["one", "two", "three"]), BASE_3D, data_type=7), ("TRC", "3D", "NONE")


def multiregion_map():
    return file_3d(_spectra(3), {**BASE_3D, "DXU": "WN"}, anno=_anno()), ("AB", "3D", "NONE")


def multiregion_traces():
    p = {**BASE_3D, "NPT": 3}
    return file_3d(_traces(["p", "q"], npt=3), p, data_type=7, anno=_anno()), ("TRC", "3D", "NONE")


KINDS = {
    "spectrum": spectrum,
    "image map": image_map,
    "image traces": image_traces,
    "time-resolved series": time_series,
    "time-resolved traces": time_traces,
    "multiregion map": multiregion_map,
    "multiregion traces": multiregion_traces,
}

"""Writes the sample files: small synthetic measurements made with the test writer.

sample.vesk holds a sample and a reference single-channel spectrum and the
absorbance spectrum computed from them ('AB'), each with its data parameter
block, plus acquisition, instrument, optics, sample and Fourier-transform
parameter blocks; a small absorbance image map ('AB', '3D'); and one visible
image of the sample (a BMP).

No single file can hold every kind of block (an annotation block turns every
3D block of its file into a multiregion map), so three more files beside it
hold the rest:
  mapping.vesk     an image map, the trace maps computed from it ('TRC', '3D')
                   and two visible images (a PNG and a BMP);
  kinetics.vesk    a time-resolved series of spectra and its traces;
  regions.vesk     a multiregion map (a grid and a free list of points), its
                   traces and the annotation table that places the points.

Usage: make_sample.py [OUT]   writes OUT (default samples/sample.vesk) and the
other files beside it. Run from anywhere; the output is deterministic.
"""
import math
import os
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import struct  # noqa: E402

from vesk_writer import VeskFile, float32_block, param_block  # noqa: E402
from writer_3d import (TYPE_FLOAT, TYPE_INT, annotation_block, store_block,  # noqa: E402
                       stored_block, table_subblock)
from writer_images import add_image_block, image_block, picture  # noqa: E402

MAP_NPX, MAP_NPY, MAP_NPT = 8, 6, 64

NPT = 1024
FXV, LXV = 3999.64, 399.69
PEAKS = [(3027.0, 18.0, 0.35), (2923.0, 22.0, 0.62), (1601.0, 9.0, 0.48), (1493.0, 8.0, 0.71),
         (1452.0, 9.0, 0.66), (756.0, 12.0, 1.15), (698.0, 10.0, 1.42)]


def wavenumbers():
    step = (LXV - FXV) / (NPT - 1)
    return [FXV + i * step for i in range(NPT)]


def lorentz(w, centre, width):
    # rational, so the file comes out the same whatever the platform's libm
    return 1.0 / (1.0 + ((w - centre) / width) ** 2)


def absorbance(w):
    baseline = 0.02 + 0.00001 * (4000.0 - w)
    return baseline + sum(h * lorentz(w, c, s) for c, s, h in PEAKS)


def reference(w):
    # a smooth source and detector envelope with two water-vapour dips
    return 3.0 * lorentz(w, 2100.0, 1400.0) * (
        1.0 - 0.1 * lorentz(w, 1650.0, 40.0) - 0.08 * lorentz(w, 3750.0, 60.0))


def data_params(values, units="WN"):
    return {"DPF": 1, "NPT": NPT, "FXV": FXV, "LXV": LXV, "CSF": 1.0,
            "MXY": max(values), "MNY": min(values), "DAT": "07/12/2026", "TIM": "21:38:08",
            "DXU": units}


def image_map():
    """An 8 x 6 map of 64-point absorbance spectra: one band whose height
    varies over the map, so each pixel's spectrum differs."""
    step = (1400.0 - 1700.0) / (MAP_NPT - 1)
    ws = [1700.0 + i * step for i in range(MAP_NPT)]
    blocks, lo, hi = [], None, None
    for row in range(MAP_NPY):
        for col in range(MAP_NPX):
            height = 0.2 + 0.1 * col + 0.05 * row
            spectrum = [0.02 + height * lorentz(w, 1601.0, 9.0) for w in ws]
            spectrum = [float(v) for v in memoryview(float32_block(spectrum)).cast("f")]
            lo = min([lo] + spectrum) if lo is not None else min(spectrum)
            hi = max([hi] + spectrum) if hi is not None else max(spectrum)
            blocks.append(stored_block(spectrum))
    params = {"NPT": MAP_NPT, "FXV": 1700.0, "LXV": 1400.0, "MXY": hi, "MNY": lo, "DXU": "WN",
              "AOX": 1250.0, "AOY": -300.0, "DDX": 25.0, "DDY": 25.0, "NPX": MAP_NPX,
              "NPY": MAP_NPY}
    return store_block(blocks, block_size=4 * MAP_NPT), params


def bitmap(width=4, height=2):
    """A tiny 24-bit BMP (a film seen through the microscope: two greys)."""
    row = b"".join(bytes((v, v, v)) for v in (90, 160, 90, 160)[:width])
    row += b"\0" * ((-len(row)) % 4)
    pixels = row * height
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835,
                         0, 0)
    size = 14 + len(header) + len(pixels)
    return b"BM" + struct.pack("<IHHI", size, 0, 0, 14 + len(header)) + header + pixels


def build():
    ws = wavenumbers()
    ab = [absorbance(w) for w in ws]
    rsc = [reference(w) for w in ws]
    ssc = [r * math.pow(10.0, -a) for r, a in zip(rsc, ab)]
    # float32 rounding first, so the stored extremes are those of the stored values
    ab, rsc, ssc = ([float(v) for v in memoryview(float32_block(s)).cast("f")]
                    for s in (ab, rsc, ssc))

    vf = VeskFile()
    for values, sample_type, data_type in ((ssc, 1, 1), (rsc, 2, 1), (ab, 3, 4)):
        vf.add(float32_block(values), sample_type=sample_type, data_type=data_type)
        vf.add(param_block(data_params(values)), sample_type=sample_type, data_type=data_type,
               param_type=1)
    vf.add(param_block({"AQM": "SD", "NSS": 32, "NSR": 32, "RES": 4.0, "HFW": 4000.0,
                        "LFW": 400.0, "SGN": -1, "DLY": 0}), param_type=3)
    vf.add(param_block({"INS": "Bench FT", "LWN": 15798.0, "HFL": 15798.0, "RSN": 112,
                        "SRT": 1796593088.0, "HPF": 0, "LPF": 10.0}), param_type=2)
    vf.add(param_block({"APT": "6 mm", "BMS": "KBr", "SRC": "MIR", "DTC": "RT-DLaTGS",
                        "VEL": 10.0}), param_type=6)
    vf.add(param_block({"SNM": "Polystyrene film", "SFM": "Film 38 \u00b5m", "CNM": "Lab",
                        "EXP": "transmission.xpm", "XPP": "C:\\experiments"}), param_type=10)
    vf.add(param_block({"APF": "B3", "PHZ": "ML", "PHR": 32.0, "ZFF": 2, "HFQ": 4000.0,
                        "LFQ": 400.0}), param_type=4)
    data, params = image_map()
    vf.add(param_block(params), sample_type=3, data_type=4, extend_type=10, param_type=1)
    vf.add(data, sample_type=3, data_type=4, extend_type=10)
    payload, _ = image_block([{"images": [picture("Sample, 4x objective", bitmap(),
                                                  extra_attributes=[("Pos. X:", 1337.5),
                                                                    ("Pos. Y:", -212.0)])]}])
    add_image_block(vf, payload)
    return vf.build()


def f32(values):
    """The values as the file stores them (float32), back as Python floats."""
    return [float(v) for v in memoryview(float32_block(values)).cast("f")]


def axis(first, last, n):
    step = (last - first) / (n - 1)
    return [first + i * step for i in range(n)]


def band_params(values, npt, first, last, **more):
    return dict({"NPT": npt, "FXV": first, "LXV": last, "MXY": max(values),
                 "MNY": min(values), "DXU": "WN", "DAT": "08/12/2026", "TIM": "09:15:42"},
                **more)


TRACE_TYPE = 7  # data type of trace blocks ('TRC')
TRACE_NAMES = ["Area 1601", "Height 1493", "Ratio 1601/1493"]


def trace_values(spectrum, ws):
    """Three traces a user might compute from one spectrum."""
    near = lambda c: min(range(len(ws)), key=lambda i: abs(ws[i] - c))
    step = abs(ws[1] - ws[0])
    area = sum(spectrum[near(1620.0):near(1580.0) + 1]) * step
    return [area, spectrum[near(1493.0)], spectrum[near(1601.0)] / spectrum[near(1493.0)]]


def png(width, height, pixel):
    """A small 8-bit greyscale PNG; pixel(col, row) gives 0..255."""
    raw = b"".join(b"\0" + bytes(pixel(c, r) for c in range(width)) for r in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0,
                                                               0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def build_mapping():
    """A 10 x 7 map of two bands, the trace maps worked out from it, two pictures."""
    npx, npy, npt = 10, 7, 96
    ws = axis(1700.0, 1400.0, npt)
    spectra, traces = [], []
    for row in range(npy):
        for col in range(npx):
            # a round particle rich in the 1601 band on a film rich in the 1493 band
            d2 = ((col - 6.0) ** 2 + (row - 3.0) ** 2) / 6.0
            a = 0.1 + 0.9 / (1.0 + d2)
            b = 0.6 - 0.04 * col + 0.02 * row
            s = f32([0.01 + a * lorentz(w, 1601.0, 9.0) + b * lorentz(w, 1493.0, 8.0) for w in ws])
            spectra.append(s)
            traces.append(trace_values(s, ws))
    flat = [v for s in spectra for v in s]
    geometry = {"AOX": -120.0, "AOY": 40.0, "DDX": 15.0, "DDY": 15.0, "NPX": npx, "NPY": npy}
    vf = VeskFile()
    vf.add(param_block(band_params(flat, npt, 1700.0, 1400.0, **geometry)), sample_type=3,
           data_type=4, extend_type=10, param_type=1)
    vf.add(store_block([stored_block(s) for s in spectra], block_size=4 * npt), sample_type=3,
           data_type=4, extend_type=10)
    # one stored block per trace, holding that trace's value at every map point
    planes = [f32([t[k] for t in traces]) for k in range(len(TRACE_NAMES))]
    flat = [v for p in planes for v in p]
    vf.add(param_block(band_params(flat, npx * npy, 1700.0, 1400.0, **geometry)),
           sample_type=0, data_type=TRACE_TYPE, extend_type=10, param_type=1)
    vf.add(store_block([stored_block(p, name=n) for p, n in zip(planes, TRACE_NAMES)],
                       block_size=4 * npx * npy),
           sample_type=0, data_type=TRACE_TYPE, extend_type=10)
    vf.add(param_block({"SNM": "Polymer blend, particle in film", "INS": "Bench FT",
                        "CNM": "Lab"}), param_type=10)
    overview = png(40, 28, lambda c, r: 60 + int(150 / (1.0 + ((c - 26) ** 2 + (r - 13) ** 2)
                                                               / 40.0)))
    payload, _ = image_block([{"images": [
        picture("Overview, 15x objective", overview, extra_attributes=[("Pos. X:", -52.5),
                                                                        ("Pos. Y:", 85.0)]),
        picture("Particle, detail", bitmap(), extra_attributes=[("Pos. X:", -30.0),
                                                                 ("Pos. Y:", 85.0)])]}])
    add_image_block(vf, payload)
    return vf.build()


def build_kinetics():
    """A curing reaction: 12 spectra in time as one band falls and another grows,
    and the traces of both band heights."""
    npt, times = 80, [2.5 * k for k in range(12)]
    ws = axis(1800.0, 1500.0, npt)
    spectra = []
    for t in times:
        done = 1.0 - 1.0 / (1.0 + t / 8.0)
        spectra.append(f32([0.015 + 0.8 * (1.0 - done) * lorentz(w, 1637.0, 7.0)
                            + 0.5 * done * lorentz(w, 1725.0, 10.0) for w in ws]))
    flat = [v for s in spectra for v in s]
    vf = VeskFile()
    vf.add(param_block(band_params(flat, npt, 1800.0, 1500.0, ZTX="Time (s)")), sample_type=3,
           data_type=4, extend_type=10, param_type=1)
    vf.add(store_block([stored_block(s, time=t) for s, t in zip(spectra, times)],
                       block_size=4 * npt), sample_type=3, data_type=4, extend_type=10)
    at = lambda s, c: s[min(range(npt), key=lambda i: abs(ws[i] - c))]
    traces = [f32([at(s, 1637.0) for s in spectra]), f32([at(s, 1725.0) for s in spectra])]
    flat = [v for tr in traces for v in tr]
    vf.add(param_block(band_params(flat, len(times), times[0], times[-1], DXU="SEC")),
           sample_type=0, data_type=TRACE_TYPE, extend_type=10, param_type=1)
    vf.add(store_block([stored_block(tr, name=n) for tr, n in
                        zip(traces, ["Height 1637", "Height 1725"])], block_size=4 * len(times)),
           sample_type=0, data_type=TRACE_TYPE, extend_type=10)
    vf.add(param_block({"SNM": "Acrylate coating, curing", "INS": "Bench FT"}), param_type=10)
    return vf.build()


def build_regions():
    """Two regions of one sample: a 3 x 2 grid and a free list of 3 points."""
    npt = 48
    ws = axis(3100.0, 2800.0, npt)
    grid = [(0.0 + 20.0 * c, 0.0 + 20.0 * r) for r in range(2) for c in range(3)]
    free = [(400.0, 150.0), (455.0, 170.0), (430.0, 240.0)]
    points = grid + free
    spectra = [f32([0.02 + (0.3 + 0.1 * k) * lorentz(w, 2923.0, 15.0)
                    + 0.2 * lorentz(w, 2853.0, 10.0) for w in ws]) for k in range(len(points))]
    cols = [("Group", TYPE_INT), ("Type", TYPE_INT), ("AryNX", TYPE_INT), ("AryNY", TYPE_INT),
            ("AryType", TYPE_INT), ("Fileindex", TYPE_INT), ("X", TYPE_FLOAT),
            ("Y", TYPE_FLOAT)]
    rows = []
    for k, (x, y) in enumerate(points):
        group = 1 if k < len(grid) else 2
        nx, ny = (3, 2) if k == 0 else (0, 0)
        rows.append((group, 0, nx, ny, 0, k + 1, x, y))
    anno = annotation_block([table_subblock(cols, rows)])
    flat = [v for s in spectra for v in s]
    vf = VeskFile()
    vf.add(param_block(band_params(flat, npt, 3100.0, 2800.0)), sample_type=3, data_type=4,
           extend_type=10, param_type=1)
    vf.add(anno, extend_type=11)
    vf.add(store_block([stored_block(s, time=1000.0 + 30.0 * k) for k, s in enumerate(spectra)],
                       entries=[(k + 1, k + 1) for k in range(len(spectra))], block_size=4 * npt),
           sample_type=3, data_type=4, extend_type=10)
    # a trace block holds one value per point, at the point's Fileindex
    traces = [f32([max(s) for s in spectra]), f32([s[0] for s in spectra])]
    flat = [v for tr in traces for v in tr]
    vf.add(param_block(band_params(flat, len(points), 3100.0, 2800.0)), sample_type=0,
           data_type=TRACE_TYPE, extend_type=10, param_type=1)
    vf.add(store_block([stored_block(tr, name=n) for tr, n in
                        zip(traces, ["Peak height", "Baseline 3100"])],
                       block_size=4 * len(points)),
           sample_type=0, data_type=TRACE_TYPE, extend_type=10)
    vf.add(param_block({"SNM": "Wax on glass, two regions", "INS": "Bench FT"}), param_type=10)
    return vf.build()


FILES = [("sample.vesk", build), ("mapping.vesk", build_mapping),
         ("kinetics.vesk", build_kinetics), ("regions.vesk", build_regions)]


def main(argv):
    out = argv[1] if len(argv) > 1 else os.path.join(HERE, "sample.vesk")
    folder = os.path.dirname(os.path.abspath(out))
    for name, make in FILES:
        path = out if name == "sample.vesk" else os.path.join(folder, name)
        data = make()
        with open(path, "wb") as f:
            f.write(data)
        print("wrote %s (%d bytes)" % (path, len(data)))


if __name__ == "__main__":
    main(sys.argv)

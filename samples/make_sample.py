"""Writes samples/sample.vesk: a small synthetic measurement made with the test writer.

The file holds a sample and a reference single-channel spectrum and the
absorbance spectrum computed from them ('AB'), each with its data parameter
block, plus acquisition, instrument, optics, sample and Fourier-transform
parameter blocks; a small absorbance image map ('AB', '3D'); and one visible
image of the sample (a BMP). Run from anywhere; the output is deterministic.
"""
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import struct  # noqa: E402

from vesk_writer import VeskFile, float32_block, param_block  # noqa: E402
from writer_3d import store_block, stored_block  # noqa: E402
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


def main(argv):
    out = argv[1] if len(argv) > 1 else os.path.join(HERE, "sample.vesk")
    data = build()
    with open(out, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (out, len(data)))


if __name__ == "__main__":
    main(sys.argv)

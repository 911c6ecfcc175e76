"""Writes samples/sample.vesk: a small synthetic measurement made with the test writer.

The file holds a sample and a reference single-channel spectrum and the
absorbance spectrum computed from them ('AB'), each with its data parameter
block, plus acquisition, instrument, optics, sample and Fourier-transform
parameter blocks. Run from anywhere; the output is deterministic.
"""
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from vesk_writer import VeskFile, float32_block, param_block  # noqa: E402

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
    return vf.build()


def main(argv):
    out = argv[1] if len(argv) > 1 else os.path.join(HERE, "sample.vesk")
    data = build()
    with open(out, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (out, len(data)))


if __name__ == "__main__":
    main(sys.argv)

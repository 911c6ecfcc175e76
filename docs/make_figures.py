"""Makes the pictures in the README from the shipped samples with the `vesk` command.

Run from anywhere after installing with the plot extra (pip install '.[plot]'):
    python docs/make_figures.py
It writes docs/spectrum.png, docs/image_map.png and docs/visible_image.png, so
the pictures always show what the command draws from the committed samples.
"""
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, os.pardir, "samples")


def vesk(*args):
    subprocess.run([sys.executable, "-m", "vesk"] + list(args), check=True,
                   stdout=subprocess.DEVNULL)


def visible_image(folder, out):
    """The first visible image of mapping.vesk, shown with its title and position."""
    from matplotlib.figure import Figure
    from matplotlib.image import imread

    vesk("images", os.path.join(SAMPLES, "mapping.vesk"), "-o", folder)
    with open(os.path.join(folder, "mapping_image00.json")) as f:
        info = json.load(f)
    picture = imread(os.path.join(folder, "mapping_image00.png"))
    fig = Figure(figsize=(4.4, 3.4), dpi=80, layout="constrained")
    ax = fig.add_subplot()
    ax.imshow(picture, cmap="gray", vmin=0, vmax=1, interpolation="nearest")
    ax.set_title("%s\nat x %s, y %s" % (info["title"], info["attributes"]["Pos. X"],
                                         info["attributes"]["Pos. Y"]), fontsize=10)
    ax.set_axis_off()
    fig.savefig(out)


def main():
    vesk("plot", os.path.join(SAMPLES, "sample.vesk"), "AB/2D/NONE", "--force",
         "-o", os.path.join(HERE, "spectrum.png"))
    vesk("plot", os.path.join(SAMPLES, "mapping.vesk"), "AB/3D/NONE", "--at", "1601", "--force",
         "-o", os.path.join(HERE, "image_map.png"))
    with tempfile.TemporaryDirectory() as folder:
        visible_image(folder, os.path.join(HERE, "visible_image.png"))
    for name in ("spectrum.png", "image_map.png", "visible_image.png"):
        print("wrote", os.path.join(HERE, name))


if __name__ == "__main__":
    main()

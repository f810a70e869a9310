#!/usr/bin/python3
"""Writes the two small networks the command-line tests run on a real OpenCL
device in place of the shipped ones (each at least 1000 bytes, the size below
which the engine treats a model resource as missing):

- TessalineId.cnn: out = in + 0.1 per channel (3x3 convolution to 12 copies,
  then a 1x1 convolution averaging the copies of each channel, bias 0.1);
- subjectmasking.cnn: a map of zeros (no subject), same structure.

    /usr/bin/python3 tests/engine/make_engine_models.py   # writes tests/fixtures/engine/
"""

import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "models"))
import nnstream  # noqa: E402

OUT = ROOT / "tests" / "fixtures" / "engine"
COPIES = 12


def copies_then_average(out_channels: int, bias: float, gain: float) -> nnstream.ModelStream:
    m = nnstream.ModelStream()
    x = m.input(3)
    spread = np.zeros((COPIES, 3, 3, 3), np.float32)
    for k in range(COPIES):
        spread[k, k % 3, 1, 1] = 1.0
    y = m.conv2d(x, spread)
    gather = np.zeros((out_channels, COPIES, 1, 1), np.float32)
    for k in range(COPIES):
        if k % 3 < out_channels:
            gather[k % 3, k, 0, 0] = gain * 3.0 / COPIES
    m.conv2d(y, gather, np.full(out_channels, bias, np.float32))
    return m


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    copies_then_average(3, 0.1, 1.0).save(OUT / "TessalineId.cnn")
    copies_then_average(1, 0.0, 0.0).save(OUT / "subjectmasking.cnn")
    for name in ("TessalineId.cnn", "subjectmasking.cnn"):
        print(OUT / name, (OUT / name).stat().st_size, "bytes")


if __name__ == "__main__":
    main()

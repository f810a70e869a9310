"""Writes the tiny model streams that the AI-layer and engine tests run on a
real device: they make tile geometry, device fallback and the C API testable
without the trained networks.

    /usr/bin/python3 tools/models/make_test_models.py   # writes tests/fixtures/models/
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import nnstream  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parents[2] / "tests" / "fixtures" / "models"


def affine(a: float, b: float) -> nnstream.ModelStream:
    """3 channels in, a * x + b out, same size."""
    m = nnstream.ModelStream()
    x = m.input(3)
    m.linear(x, a, b)
    return m


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    affine(1.0, 0.0).save(OUT / "identity.cnn")
    affine(1.0, 0.5).save(OUT / "add_half.cnn")
    print("wrote", OUT)


if __name__ == "__main__":
    main()

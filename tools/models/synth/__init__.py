"""Seeded synthetic studio portraits with dirty backdrops and exact ground truth."""
from .photo import Photo, make_photo  # noqa: F401

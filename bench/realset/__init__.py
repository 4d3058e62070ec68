"""Evaluation sets cut from photographs that ship inside Python packages, with painted-in defects.

See README.md beside this file for the products, the source photographs and their licences, the splits,
the defect kinds and the visibility rule.
"""

from .defects import OBJECT_KINDS, TEXTURE_KINDS
from .sets import FULL, QUICK, Counts, GeneratedSet, Sample, generate, kinds_of, make_set
from .sources import HOLDOUT, PRODUCTS, SourceMissing

__all__ = [
    "FULL",
    "HOLDOUT",
    "OBJECT_KINDS",
    "PRODUCTS",
    "QUICK",
    "TEXTURE_KINDS",
    "Counts",
    "GeneratedSet",
    "Sample",
    "SourceMissing",
    "generate",
    "kinds_of",
    "make_set",
]

"""Robustness test for fitted models.

Measures how far a model's score falls when its input features are
perturbed with growing amounts of noise.  The test itself lives in the
native module :mod:`korvan.factsheet.diagnose.robustness`; this package
holds the data, model, metric and result objects it runs with, and the
``korvan-robustness`` command.
"""

__version__ = "0.1.0"

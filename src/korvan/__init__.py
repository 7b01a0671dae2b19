"""Robustness test for fitted models.

Measures how far a model's score falls when its input features are
perturbed with growing amounts of noise.  The test itself lives in the
native module :mod:`korvan.factsheet.diagnose.robustness`; this package
holds the data, model, metric and result objects it runs with, and the
``korvan-robustness`` command.

Layers, data flowing upwards; a module imports only modules of its own layer
or below (imports inside functions included):

1. ``errors``, ``text``, ``jsonable``, ``constants``: error types,
   formatting for people, JSON values.
2. ``metrics``, ``frames``, ``stats``, ``inputs``: the metric table, frames
   and their schema, statistics of score tables, reading files.
3. ``report``: HTML from plain result data (it never imports the classes
   that hold it).
4. ``data``, ``models``, ``roles``: the data set, the model wrapper, column
   roles.
5. ``factsheet`` and ``utils`` (the paths the native test imports),
   ``result``, ``rows``, ``parallel``: the test, what it returns, its worst
   rows, its rounds in workers.
6. ``sweep``, ``compare``, ``testing``: what users ask of results.
7. ``cli``: the command (options -> plan -> run -> show -> exit status).
"""

__version__ = "0.1.0"

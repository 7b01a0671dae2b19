"""The ``korvan-robustness`` command, top of the host package.

options (the parser and its argument types) -> plan (every check made before
the run, into a typed job) -> run -> show (every line of terminal text) ->
main (exit statuses).
"""

from korvan.cli.main import main

__all__ = ["main"]

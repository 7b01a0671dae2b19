"""``python -m korvan``: the ``korvan-robustness`` command."""

from korvan.cli.main import console

console()

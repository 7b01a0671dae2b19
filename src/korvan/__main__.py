"""``python -m korvan``: the ``korvan-robustness`` command."""

from korvan.cli import main

raise SystemExit(main())

"""Diagnostic tests; ``robustness`` is a native extension module."""

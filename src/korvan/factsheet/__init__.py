"""Diagnostic tests that describe how a fitted model behaves."""

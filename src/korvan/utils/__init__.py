"""Shared constants and result objects."""

"""Helpers shared by the diagnostic tests."""

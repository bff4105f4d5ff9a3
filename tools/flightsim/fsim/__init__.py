"""Shared code of the flight simulator and its evaluator."""

"""Implementations that the speed suite measures zelvane.bake against."""
